// A stand-in for an image library that has its version function and
// nothing else the image-library driver calls.
extern "C" __attribute__((visibility("default"))) const char* libvmdk_get_version(void) { return "19700101"; }

#include "libpal/os/posix/os_fs_type.h"

#include "liblog/log2.h"

namespace {

struct fs_row {
    uint32_t magic;
    const char* name;
};

constexpr fs_row k_fs[] = {
    {0x858458f6, "RAMFS"},     {0x9123683e, "BTRFS"},      {0x958458f6, "HUGETLBFS"}, {0xabba1974, "XENFS"},
    {0xcafe4a11, "BPF"},       {0xde5e81e4, "EFIVARFS"},   {0xf2f52010, "F2FS"},      {0xf97cff8c, "SELINUX"},
    {0xf995e849, "HPFS"},      {0x002f, "QNX4"},           {0x0187, "AUTOFS"},        {0x137f, "MINIX"},
    {0x138f, "MINIX"},         {0x1cd1, "DEVPTS"},         {0x2468, "MINIX2"},        {0x2478, "MINIX2"},
    {0x3434, "NILFS"},         {0x4d44, "MSDOS"},          {0x4d5a, "MINIX3"},        {0x517b, "SMB"},
    {0x564c, "NCP"},           {0x6969, "NFS"},            {0x72b6, "JFFS2"},         {0x9660, "ISOFS"},
    {0x9fa0, "PROC"},          {0x9fa1, "OPENPROM"},       {0x9fa2, "USBDEVICE"},     {0xadf5, "ADFS"},
    {0x794c7630, "OVERLAYFS"}, {0xef53, "EXT4"},           {0xf15f, "ECRYPTFS"},      {0x27e0eb, "CGROUP"},
    {0x414a53, "EFS"},         {0x00c0ffee, "HOSTFS"},     {0x01021994, "TMPFS"},     {0x01021997, "V9FS"},
    {0x07655821, "RDTGROUP"},  {0x09041934, "ANON"},       {0x0bad1dea, "FUTEXFS"},   {0x11307854, "MTD"},
    {0x13661366, "BALLOON"},   {0x15013346, "UDF"},        {0x28cd3d45, "CRAMFS"},    {0x42494e4d, "BINFMTFS"},
    {0x43415d53, "SMACK"},     {0x453dcd28, "CRAMFS"},     {0x50495045, "PIPEFS"},    {0x52654973, "REISERFS"},
    {0x5346414f, "AFS"},       {0x534f434b, "SOCKFS"},     {0x57ac6e9d, "STACK"},     {0x58295829, "ZSMALLOC"},
    {0x5a3c69f0, "AAFS"},      {0x6165676c, "PSTOREFS"},   {0x62646576, "BDEVFS"},    {0x62656572, "SYSFS"},
    {0x63677270, "CGROUP2"},   {0x64626720, "DEBUGFS"},    {0x64646178, "DAXFS"},     {0x65735546, "VMHGFS-FUSE"},
    {0x68191122, "QNX6"},      {0x6b414653, "AFS"},        {0x6e736673, "NSFS"},      {0x73636673, "SECURITYFS"},
    {0x73717368, "SQUASHFS"},  {0x73727279, "BTRFS"},      {0x73757245, "CODA"},      {0x7461636f, "OCFS2"},
    {0x74726163, "TRACEFS"},   {0xadff, "AFFS"},
};
static_assert(sizeof k_fs / sizeof k_fs[0] == 70);

}  // namespace

const char* os_fs_type(uint32_t type) {
    for (const auto& r : k_fs)
        if (r.magic == type) return r.name;
    LOG2(LOG2_VERB, "pal", "unkown fs_type=0x%x\n", type);
    return "UNKOWN";
}

// Shared between the channel files: the registry's mutex.
#pragma once

#include <mutex>

std::mutex& bsv_registry_mutex();

#include "core/file.h"

#include <sys/stat.h>

extern "C" int core_file_exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? 0 : 1;
}

#pragma once

extern "C" {
// 0 when the path exists (stat succeeds), 1 when it does not.
int core_file_exists(const char* path);
}

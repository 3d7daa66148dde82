#pragma once
// Captures what is written to file descriptor 2 while the object lives.
#include <cstdio>
#include <string>
#include <unistd.h>

class CaptureStderr {
public:
    CaptureStderr()
    {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~CaptureStderr()
    {
        restore();
        fclose(file_);
    }
    std::string text()
    {
        restore();
        std::string out;
        rewind(file_);
        char buf[4096];
        size_t got;
        while ((got = fread(buf, 1, sizeof(buf), file_)) > 0) {
            out.append(buf, got);
        }
        return out;
    }

private:
    void restore()
    {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    FILE* file_ = nullptr;
    int saved_ = -1;
};

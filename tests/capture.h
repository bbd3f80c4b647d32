// Runs a report function against an in-memory stream and returns what it wrote.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

template <typename Print>
std::string captureStream(Print print) {
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&data, &size);
    print(stream);
    std::fclose(stream);
    std::string text(data, size);
    std::free(data);
    return text;
}

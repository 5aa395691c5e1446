#include <cstring>
#include <iostream>

#include "core/Constants.h"
#include "core/Version.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << velk::appName << ' ' << velk::compiledVersion << '\n';
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::cout << "Usage: VelkCompressor [--version] [--help]\n";
            return 0;
        }
        std::cerr << "VelkCompressor: unknown option " << argv[i] << " (try --help)\n";
        return 2;
    }
    std::cerr << "VelkCompressor: nothing to do yet; try --version\n";
    return 2;
}

#include "updater/VelkUpdaterHelper.h"

#include <iostream>

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    return velk::updater::VelkUpdaterHelper::run(words, std::cerr,
                                                 velk::updater::InstallerEnvironment::system());
}

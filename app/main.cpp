#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tessary %s\n", TESSARY_VERSION);
        return 0;
    }
    std::fprintf(stderr, "usage: tessary --version\n");
    return 2;
}

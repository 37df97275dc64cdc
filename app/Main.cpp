#include <windows.h>

// Program entry. Takes no arguments and always exits with 0.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}

// Built for i686 and x86_64 by tools/host-check.py: whether Wine runs a program of that word
// size on this machine shows in whether the token below comes out.
#include <cstdio>

int main() {
    std::puts("zelmora-host-check-ok");
    return 0;
}

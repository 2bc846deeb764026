// Built for i686 by tools/host-check.py: whether Wine runs the 32-bit program on this machine,
// the way it does, shows in whether the token below comes out.
#include <cstdio>

int main() {
    std::puts("zelmora-host-check-ok");
    return 0;
}

// Takes the single-instance guard of the key it is given and says whether it has it, "held"
// or "refused" on a line; holding it, it waits until its input closes or it is killed. For
// the test that takes the guard as another user.
#include "app/singleinstance.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    SingleInstance guard(QString::fromLocal8Bit(argv[1]));
    const bool held = guard.tryAcquire();
    std::puts(held ? "held" : "refused");
    std::fflush(stdout);
    while (held && std::getchar() != EOF) {
    }
    return held ? 0 : 1;
}

#include "host/outputs/ILogOutput.h"

#include "host/outputs/OutputWait.h"

void ILogOutput::Finish(int waitMs)
{
    const long long deadline = MonotonicMs() + waitMs;
    for (;;) {
        Drain();
        const long long left = deadline - MonotonicMs();
        if (!Pending() || left <= 0 || !WritableWithin(Fd(), static_cast<int>(left)))
            return;
    }
}

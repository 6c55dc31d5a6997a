#include "host/outputs/OutputWait.h"

#include <ctime>

#include <poll.h>

long long MonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool WritableWithin(int fd, int waitMs)
{
    pollfd polled{fd, POLLOUT, 0};
    return poll(&polled, 1, waitMs) > 0 && (polled.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
}

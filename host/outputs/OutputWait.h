// Waiting on a descriptor the loop writes to, bounded, on the monotonic
// clock: what the queues of the daemon's log and the server share.
#ifndef HOST_OUTPUTS_OUTPUTWAIT_H
#define HOST_OUTPUTS_OUTPUTWAIT_H

// Milliseconds on a clock that no change of the system time moves.
long long MonotonicMs();

// True when `fd` takes a write within `waitMs` (0: now), or has failed, so
// that the write says why.
bool WritableWithin(int fd, int waitMs);

#endif

// What is told when the configuration is re-read: the service manager
// follows reloads through it.
#ifndef HOST_SERVICE_IRELOADWATCHER_H
#define HOST_SERVICE_IRELOADWATCHER_H

// Told around each re-reading of the configuration, whether a line or a
// signal asked for it.
class IReloadWatcher {
public:
    virtual ~IReloadWatcher() = default;
    virtual void ReloadStarts() = 0;
    virtual void ReloadEnded() = 0;
};

#endif

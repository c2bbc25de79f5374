#pragma once

#include <QString>
#include <sys/types.h>

// Real-time scheduling for a thread of this process, got the way PipeWire
// gets it: SCHED_FIFO directly where the process may (root, an rtprio limit),
// otherwise from rtkit over the system bus, otherwise none.
struct Realtime {
    enum Way { Direct, Rtkit, None };
    Way way = None;
    int priority = 0;
    QString reason; // None: why not, in the system's words
};

// For the thread `tid` (its kernel id). The way is found once per process: a
// later thread goes the way the first one went, and a way that failed is not
// tried again. Blocks on the system bus for up to a few seconds: call it from
// the window's thread as a port is made, never from a thread that must keep time.
Realtime make_realtime(pid_t tid, int wanted);

// Space reclaim of removed large files off the caller's thread.
//
// Unlinking the last name of a large file makes the kernel drop its cached
// pages and free every block (on disks mounted with discard, trim them too)
// before unlink returns: about 0.3 s for 1 GiB. When the remover still holds a
// descriptor, unlink only takes the name away and that work moves to the last
// close, which one worker thread performs here. The worker is joined before the
// library is unloaded or the process exits; a forked child forgets it and keeps
// the inherited descriptors until it execs or ends, like any other descriptor.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "platform/posix/posix_platform.h"

namespace actlog::platform::posix {
namespace {

// Descriptors waiting for the worker; more are closed by their remover.
constexpr int kPending = 8;

struct Reclaim {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int pending[kPending] = {};
    int count = 0;
    bool running = false;   // the worker is draining `pending`
    bool unjoined = false;  // `worker` was started and has not been joined
    pthread_t worker{};
};

Reclaim state;

void* Drain(void*) {
    for (;;) {
        pthread_mutex_lock(&state.lock);
        if (state.count == 0) {
            state.running = false;
            pthread_mutex_unlock(&state.lock);
            return nullptr;
        }
        int descriptor = state.pending[--state.count];
        pthread_mutex_unlock(&state.lock);
        ::close(descriptor);
    }
}

// With the lock held. The worker takes no signals meant for the process.
bool StartWorker() noexcept {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = pthread_create(&state.worker, nullptr, Drain, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

void BeforeFork() { pthread_mutex_lock(&state.lock); }
void AfterForkInParent() { pthread_mutex_unlock(&state.lock); }
void AfterForkInChild() {
    state.count = 0;
    state.running = false;
    state.unjoined = false;
    pthread_mutex_unlock(&state.lock);
}

struct Lifetime {
    Lifetime() { pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild); }
    ~Lifetime() { FinishReclaims(); }
};

Lifetime lifetime;

}  // namespace

void ReclaimLater(int descriptor) noexcept {
    pthread_mutex_lock(&state.lock);
    bool queued = false;
    if (state.running) {
        if (state.count < kPending) {
            state.pending[state.count++] = descriptor;
            queued = true;
        }
    } else {
        // A worker that has drained its queue has ended or is about to.
        if (state.unjoined) pthread_join(state.worker, nullptr);
        state.unjoined = false;
        state.pending[state.count++] = descriptor;
        queued = StartWorker();
        if (queued) {
            state.running = true;
            state.unjoined = true;
        } else {
            --state.count;
        }
    }
    pthread_mutex_unlock(&state.lock);
    if (!queued) ::close(descriptor);
}

void FinishReclaims() noexcept {
    pthread_mutex_lock(&state.lock);
    bool join = state.unjoined;
    pthread_t worker = state.worker;
    state.unjoined = false;
    pthread_mutex_unlock(&state.lock);
    if (join) pthread_join(worker, nullptr);
}

}  // namespace actlog::platform::posix

// Space reclaim of removed large files off the caller's thread.
//
// Unlinking the last name of a large file makes the kernel drop its cached
// pages and free every block (on disks mounted with discard, trim them too)
// before unlink returns: about 0.3 s for 1 GiB. When the remover still holds a
// descriptor, unlink only takes the name away and that work moves to the last
// close, which one worker thread performs here. The worker is joined before the
// library is unloaded or the process exits. A forked child has no worker; it
// closes its copies of the descriptors still waiting, so that it does not keep
// the removed files' space in use.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_platform.h"

namespace actlog::platform::posix {
namespace {

// Descriptors waiting for the worker; more are closed by their remover.
constexpr int kPending = 8;

struct Held {
    int descriptor = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

struct Reclaim {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t drained = PTHREAD_COND_INITIALIZER;
    Held pending[kPending];
    int count = 0;
    Held closing;           // taken by the worker, maybe closed already
    bool running = false;   // the worker is draining `pending`
    bool unjoined = false;  // `worker` was started and has not been joined
    pthread_t worker{};
};

Reclaim state;

void* Drain(void*) {
    pthread_mutex_lock(&state.lock);
    while (state.count > 0) {
        state.closing = state.pending[--state.count];
        int descriptor = state.closing.descriptor;
        pthread_mutex_unlock(&state.lock);
        ::close(descriptor);
        pthread_mutex_lock(&state.lock);
        state.closing = Held{};
    }
    state.running = false;
    pthread_cond_broadcast(&state.drained);
    pthread_mutex_unlock(&state.lock);
    return nullptr;
}

// With the lock held: joins a worker that has drained its queue (it has ended
// or is about to), then starts a new one. The worker takes no signals meant
// for the process.
bool StartWorker() noexcept {
    if (state.unjoined) pthread_join(state.worker, nullptr);
    state.unjoined = false;
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = pthread_create(&state.worker, nullptr, Drain, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    state.running = started;
    state.unjoined = started;
    return started;
}

void BeforeFork() { pthread_mutex_lock(&state.lock); }
void AfterForkInParent() { pthread_mutex_unlock(&state.lock); }
void AfterForkInChild() {
    for (int i = 0; i < state.count; ++i) ::close(state.pending[i].descriptor);
    // The worker's descriptor may have been closed before the fork and its
    // number used again; only the removed file itself is closed.
    struct stat info {};
    const Held& closing = state.closing;
    if (closing.descriptor >= 0 && ::fstat(closing.descriptor, &info) == 0 && info.st_dev == closing.device &&
        info.st_ino == closing.inode) {
        ::close(closing.descriptor);
    }
    state.count = 0;
    state.closing = Held{};
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

void ReclaimLater(int descriptor, const struct stat& info) noexcept {
    pthread_mutex_lock(&state.lock);
    bool queued = state.count < kPending;
    if (queued) state.pending[state.count++] = Held{descriptor, info.st_dev, info.st_ino};
    if (queued && !state.running && !StartWorker()) {
        --state.count;
        queued = false;
    }
    pthread_mutex_unlock(&state.lock);
    if (!queued) ::close(descriptor);
}

void FinishReclaims() noexcept {
    pthread_mutex_lock(&state.lock);
    while (state.running) pthread_cond_wait(&state.drained, &state.lock);
    if (state.unjoined) pthread_join(state.worker, nullptr);
    state.unjoined = false;
    pthread_mutex_unlock(&state.lock);
}

}  // namespace actlog::platform::posix

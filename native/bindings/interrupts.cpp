// SIGINT during a long kernel: the one handler, its state, and what the call raises.
//
// While a kernel runs with the lock released, Python's own SIGINT handler only notes the
// signal for the interpreter's next check, which comes after the kernel.  A long kernel
// therefore runs in an `Interruptible` scope: for its duration SIGINT also asks the core
// to stop (aerolume::request_cancel) before calling the handler it replaced; the kernel
// ends with aerolume::Cancelled at its next check, and the call raises what Python's
// handler raises (KeyboardInterrupt).  Scopes may overlap (several threads): the handler
// is installed by the first and put back by the last, and only where Python handles
// SIGINT (not where it is ignored or left to its default).
#include "binding.h"

#include <atomic>
#include <mutex>

#include <signal.h>

#include "parallel.h"

namespace aerolume::bindings {

namespace {

std::mutex lock;
unsigned active = 0;            // scopes open (under lock)
bool installed = false;         // whether our handler is in place (under lock)
struct sigaction previous;      // the handler ours replaced (set before ours is installed)
std::atomic<bool> requested{false};

void handler(int sig, siginfo_t* info, void* context) {
    if (!requested.exchange(true)) aerolume::request_cancel();
    if (previous.sa_flags & SA_SIGINFO)
        previous.sa_sigaction(sig, info, context);
    else if (previous.sa_handler != SIG_IGN && previous.sa_handler != SIG_DFL)
        previous.sa_handler(sig);
}

void enter() {
    std::lock_guard<std::mutex> guard(lock);
    if (active++ != 0) return;
    struct sigaction current;
    if (::sigaction(SIGINT, nullptr, &current) != 0) return;
    const bool python_handles = (current.sa_flags & SA_SIGINFO) ||
                                (current.sa_handler != SIG_IGN && current.sa_handler != SIG_DFL);
    if (!python_handles) return;
    previous = current;
    struct sigaction ours = current;
    ours.sa_sigaction = handler;
    ours.sa_flags = (current.sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
    installed = ::sigaction(SIGINT, &ours, nullptr) == 0;
}

void leave() {
    std::lock_guard<std::mutex> guard(lock);
    if (--active != 0) return;
    if (installed) {
        struct sigaction current;
        // Put back only our own: Python may have set another handler meanwhile.
        if (::sigaction(SIGINT, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
            current.sa_sigaction == handler)
            ::sigaction(SIGINT, &previous, nullptr);
        installed = false;
    }
    if (requested.exchange(false)) aerolume::end_cancel();
}

}  // namespace

Interruptible::Interruptible() { enter(); }

Interruptible::~Interruptible() { leave(); }

// A kernel stopped by an interrupt: what Python's handler raises, KeyboardInterrupt if it
// raises nothing.
void translate_cancelled(const std::exception_ptr& failure, void*) {
    try {
        std::rethrow_exception(failure);
    } catch (const aerolume::Cancelled&) {
        if (PyErr_CheckSignals() == 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
}

}  // namespace aerolume::bindings

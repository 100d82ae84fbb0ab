// processes.cpp: the scheduler of zor-host's processes: starting and ending them, handing the baton,
// the plug-in's wait hook, semaphores, and the poll that sleeps until something awaited is ready.
//
// A process moves between the states of ProcessStatus:
//
//   Ready --GiveWay(socket or ticks)--> Waiting | Delayed --ready, time up, abort or signal--> Ready
//   Ready --TakeSemaphore, held--> Semaphore --cleared, time up, abort or signal--> Ready
//   Ready (main flow) --AwaitOthers--> Others --the last other ended--> Ready
//   Ready --EndCurrent--> Ended (joined and freed by the next baton holder)
#include "shell/processes.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>

#include "zor/host_toolbox.h"

namespace zor::shell {
namespace {

constexpr size_t kProcessStackBytes = 16u << 20;  // address space: pages are used only as touched
Scheduler* g_scheduler = nullptr;                 // the one scheduler, for the hook and the threads

uint64_t NowMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// Ticks are sixtieths of a second: the milliseconds they last, rounded up.
uint64_t TicksToMilliseconds(uint32_t ticks) { return (uint64_t{ticks} * 50u + 2u) / 3u; }

// The plug-in's waiting loops give way here (HostYield and HostYieldWaiting).
void WaitHook(void* context, int32_t socket, int16_t events, uint32_t ticks) {
    auto* scheduler = static_cast<Scheduler*>(context);
    const bool awaits = socket >= 0 || ticks > 0;
    scheduler->GiveWay(awaits ? ProcessStatus::Waiting : ProcessStatus::Ready, socket, events, ticks);
}

void* ThreadMain(void* argument) {
    auto* p = static_cast<Process*>(argument);
    p->work();
    g_scheduler->EndCurrent();
    return nullptr;
}

}  // namespace

Scheduler::Scheduler() {
    main_.number = 1;
    main_.name = "main";
    processes_.push_back(&main_);
    running_ = &main_;
    g_scheduler = this;
    HostSetWaitHook(WaitHook, this);
    HostSetSocketEventObserver(SocketEventDelivered, this);
}

Scheduler::~Scheduler() {
    HostSetSocketEventObserver(nullptr, nullptr);
    HostSetWaitHook(nullptr, nullptr);
    Reap();
    g_scheduler = nullptr;
}

void Scheduler::WatchSignals(const volatile sig_atomic_t* stopSignal, const volatile sig_atomic_t* signalCount,
                             int wakeFd) {
    stopSignal_ = stopSignal;
    signalCount_ = signalCount;
    signalsSeen_ = signalCount != nullptr ? *signalCount : 0;
    wakeFd_ = wakeFd;
}

Process* Scheduler::Find(int32_t number) const {
    for (Process* p : processes_)
        if (p->number == number) return p;
    return nullptr;
}

int32_t Scheduler::Start(const std::string& name, std::function<void()> work) {
    auto* p = new Process;
    p->number = nextNumber_;
    p->name = name;
    p->work = std::move(work);
    p->ownThread = true;
    pthread_attr_t attributes;
    bool started = pthread_attr_init(&attributes) == 0;
    if (started) {
        // The new thread first waits for the baton (in Resume's hand-over), so it runs nothing yet.
        started = pthread_attr_setstacksize(&attributes, kProcessStackBytes) == 0 &&
                  pthread_create(&p->thread, &attributes, [](void* a) -> void* {
                      auto* self = static_cast<Process*>(a);
                      {
                          std::unique_lock<std::mutex> lock(g_scheduler->mutex_);
                          self->turn.wait(lock, [self] { return self->go; });
                          self->go = false;
                      }
                      g_scheduler->Resume(self);
                      return ThreadMain(a);
                  }, p) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        delete p;
        return 0;
    }
    ++nextNumber_;
    processes_.push_back(p);
    ready_.push_back(p);
    return p->number;
}

int32_t Scheduler::State(int32_t number) const {
    const Process* p = Find(number);
    return p == nullptr ? -1 : static_cast<int32_t>(p->status);
}

bool Scheduler::Abort(int32_t number) {
    Process* p = Find(number);
    if (p == nullptr) return false;
    p->abort = true;
    p->cancel = true;
    if (p == running_) {
        HostRequestCancel();
    } else {
        MakeReady(p);
    }
    return true;
}

bool Scheduler::Aborted() {
    CheckSignals();
    return running_->abort || (stopSignal_ != nullptr && *stopSignal_ != 0);
}

void Scheduler::MakeReady(Process* p) {
    if (p->status == ProcessStatus::Ready || p->status == ProcessStatus::Ended) return;
    p->status = ProcessStatus::Ready;
    ready_.push_back(p);
}

// A signal since the last look: a stop cancels every process's command (each then stops at its next
// statement); a Ctrl-C at the prompt ends the processes the line started and cancels the main flow's.
void Scheduler::CheckSignals() {
    if (signalCount_ == nullptr || *signalCount_ == signalsSeen_) return;
    signalsSeen_ = *signalCount_;
    const bool stop = stopSignal_ != nullptr && *stopSignal_ != 0;
    for (Process* p : processes_) {
        p->cancel = true;
        if (!stop && p != &main_) p->abort = true;
        MakeReady(p);  // a waiter, the one giving way among them; the process at work is Ready already
    }
    HostRequestCancel();
}

void Scheduler::Reap() {
    for (size_t i = 0; i < ended_.size();) {
        Process* p = ended_[i];
        if (p == running_) {
            ++i;
            continue;
        }
        pthread_join(p->thread, nullptr);
        delete p;
        ended_.erase(ended_.begin() + static_cast<ptrdiff_t>(i));
    }
}

// The event hook was given a message for `socket`: it may have changed what a process waiting on that
// socket waits for (a connection accepted for its listening stream leaves the socket quiet), so those
// processes look again.
void Scheduler::SocketEventDelivered(void* context, int32_t socket) {
    auto* scheduler = static_cast<Scheduler*>(context);
    for (Process* p : scheduler->processes_)
        if (p->status == ProcessStatus::Waiting && p->socket == socket) scheduler->MakeReady(p);
}

// Looks at what the waiting processes wait for, sleeping up to `timeoutMs` (-1: until something comes).
// The poll's entries: the signal pipe, then each waiting process's socket, then the subscribed sockets
// (socket events) no process waits on, which the host delivers itself when one is ready, as a real
// host's event loop does while its flows wait.
void Scheduler::PollWaiters(int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<Process*> owners;  // the process of each entry; null for the pipe and the subscriptions
    if (wakeFd_ >= 0) {
        fds.push_back({wakeFd_, POLLIN, 0});
        owners.push_back(nullptr);
    }
    for (Process* p : processes_) {
        if (p->status == ProcessStatus::Waiting && p->socket >= 0) {
            fds.push_back({p->socket, p->events != 0 ? p->events : static_cast<short>(POLLIN), 0});
            owners.push_back(p);
        }
    }
    const size_t firstSubscription = fds.size();
    int32_t socket = -1;
    int16_t events = 0;
    for (int32_t i = 0; HostSocketSubscriptionAt(i, &socket, &events) == 0; ++i) {
        // A socket a process waits on is that process's to look at when it turns ready (a listener's
        // waiting process takes the connection itself): the host delivers only what nobody awaits.
        const auto awaited = [socket](const pollfd& f) { return f.fd == socket; };
        if (events == 0 || std::find(quietSubscriptions_.begin(), quietSubscriptions_.end(), socket) != quietSubscriptions_.end() ||
            std::any_of(fds.begin(), fds.begin() + static_cast<ptrdiff_t>(firstSubscription), awaited))
            continue;
        fds.push_back({socket, events, 0});
        owners.push_back(nullptr);
    }
    const int n = HostSystemCallTable()->poll(fds.data(), fds.size(), timeoutMs);
    bool eventsReady = false;
    if (n > 0) {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (i >= firstSubscription) {
                // A descriptor closed without cancelling its subscription is never ready: left out.
                if ((fds[i].revents & POLLNVAL) != 0) quietSubscriptions_.push_back(fds[i].fd);
                else eventsReady = true;
            } else if (owners[i] == nullptr) {
                char drain[64];
                while (read(wakeFd_, drain, sizeof drain) > 0) {
                }
            } else {
                MakeReady(owners[i]);
            }
        }
    }
    if (eventsReady) {
        // The event hook runs here, on the thread holding the baton, as it would in a yield.
        (void)HostDeliverSocketEventsNow();
        // A subscribed socket still ready after its delivery (a connection no stream listens for
        // yet) is left out until a process has run, so that the host does not spin on it.
        for (size_t i = firstSubscription; i < fds.size(); ++i) {
            if (fds[i].revents == 0 || (fds[i].revents & POLLNVAL) != 0) continue;
            pollfd again{fds[i].fd, fds[i].events, 0};
            if (HostSystemCallTable()->poll(&again, 1, 0) > 0) quietSubscriptions_.push_back(fds[i].fd);
        }
    }
    const uint64_t now = NowMilliseconds();
    for (Process* p : processes_)
        if (p->timed && p->status != ProcessStatus::Ready && p->status != ProcessStatus::Ended && now >= p->deadline)
            MakeReady(p);
}

// Whether a process waits on a socket, a time or a semaphore: only then has a look at the waiters
// anything to find while processes are ready (a signal is seen through its count).
bool Scheduler::AnyWaiting() const {
    for (const Process* p : processes_)
        if (p->status != ProcessStatus::Ready && p->status != ProcessStatus::Ended) return true;
    return false;
}

// The process to run next. While others are ready the waiters, when there are any, are looked at
// (without sleeping) at most once a millisecond; with none ready the host sleeps until a socket, a
// deadline or a signal.
Process* Scheduler::Next() {
    quietSubscriptions_.clear();  // a process has run since: what it did may have changed them
    for (;;) {
        Reap();
        CheckSignals();
        if (main_.status == ProcessStatus::Others && processes_.size() == 1) MakeReady(&main_);
        const uint64_t now = NowMilliseconds();
        if (ready_.empty() || (now != lastPoll_ && AnyWaiting())) {
            int timeout = 0;
            if (ready_.empty()) {
                timeout = -1;
                for (const Process* p : processes_) {
                    if (!p->timed || p->status == ProcessStatus::Ready) continue;
                    const uint64_t left = p->deadline > now ? p->deadline - now : 0;
                    if (timeout < 0 || left < static_cast<uint64_t>(timeout)) timeout = static_cast<int>(std::min<uint64_t>(left, 1u << 30));
                }
            }
            PollWaiters(timeout);
            lastPoll_ = now;
        }
        if (!ready_.empty()) {
            Process* p = ready_.front();
            ready_.pop_front();
            return p;
        }
    }
}

void Scheduler::HandTo(Process* next, Process* self, bool selfEnded) {
    if (next == self) return;
    std::unique_lock<std::mutex> lock(mutex_);
    running_ = next;
    next->go = true;
    next->turn.notify_one();
    if (selfEnded) return;
    self->turn.wait(lock, [self] { return self->go; });
    self->go = false;
}

// Back with the baton: the cancel service tells the plug-in what is asked of this process alone.
void Scheduler::Resume(Process* self) {
    assert(running_ == self);
    self->status = ProcessStatus::Ready;
    self->timed = false;
    self->socket = -1;
    CheckSignals();
    if (self->cancel) {
        HostRequestCancel();
    } else {
        HostClearCancel();
    }
}

void Scheduler::GiveWay(ProcessStatus why, int32_t socket, int16_t events, uint32_t ticks) {
    Process* self = running_;
    if (why == ProcessStatus::Ready || self->cancel) {
        self->status = ProcessStatus::Ready;
        ready_.push_back(self);
    } else {
        self->status = why;
        self->socket = socket;
        self->events = events;
        self->timed = ticks != UINT32_MAX;  // 0: look and come back; UINT32_MAX: no time limit
        self->deadline = NowMilliseconds() + TicksToMilliseconds(ticks);
    }
    HandTo(Next(), self, false);
    Resume(self);
}

bool Scheduler::TakeSemaphore(const std::string& name, uint32_t ticks) {
    Process* self = running_;
    const uint64_t deadline = NowMilliseconds() + TicksToMilliseconds(ticks);
    for (;;) {
        auto held = std::find_if(semaphores_.begin(), semaphores_.end(), [&](const auto& s) { return s.first == name; });
        if (held == semaphores_.end()) {
            semaphores_.emplace_back(name, self->number);
            return false;
        }
        if (held->second == self->number || ticks == 0 || NowMilliseconds() >= deadline || Aborted() || self->cancel)
            return true;
        self->status = ProcessStatus::Semaphore;
        self->semaphore = name;
        self->timed = true;
        self->deadline = deadline;
        HandTo(Next(), self, false);
        Resume(self);
    }
}

void Scheduler::ClearSemaphore(const std::string& name) {
    const int32_t me = running_->number;
    const size_t before = semaphores_.size();
    semaphores_.erase(std::remove_if(semaphores_.begin(), semaphores_.end(),
                                     [&](const auto& s) { return s.first == name && s.second == me; }),
                      semaphores_.end());
    if (semaphores_.size() == before) return;
    for (Process* p : processes_)
        if (p->status == ProcessStatus::Semaphore && p->semaphore == name) MakeReady(p);
}

void Scheduler::AwaitOthers() {
    while (processes_.size() > 1) {
        main_.status = ProcessStatus::Others;
        main_.timed = false;
        HandTo(Next(), &main_, false);
        Resume(&main_);
    }
    Reap();
}

void Scheduler::EndCurrent() {
    Process* self = running_;
    assert(self != &main_);
    self->status = ProcessStatus::Ended;
    processes_.erase(std::find(processes_.begin(), processes_.end(), self));
    ready_.erase(std::remove(ready_.begin(), ready_.end(), self), ready_.end());
    // Its semaphores go with it; those waiting for them look again.
    std::vector<std::string> freed;
    for (const auto& s : semaphores_)
        if (s.second == self->number) freed.push_back(s.first);
    semaphores_.erase(std::remove_if(semaphores_.begin(), semaphores_.end(),
                                     [&](const auto& s) { return s.second == self->number; }),
                      semaphores_.end());
    for (Process* p : processes_)
        if (p->status == ProcessStatus::Semaphore && std::find(freed.begin(), freed.end(), p->semaphore) != freed.end())
            MakeReady(p);
    HostClearCancel();
    ended_.push_back(self);
    HandTo(Next(), self, true);
}

void Scheduler::ClearMainCancel() {
    if (signalCount_ != nullptr) signalsSeen_ = *signalCount_;
    main_.cancel = false;
    main_.abort = false;
    HostClearCancel();
}

}  // namespace zor::shell

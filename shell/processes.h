// processes.h: zor-host's processes: flows of a script that run one at a time, each on a thread of its
// own, handing a baton; a process gives way only where it waits, and when none can run the host
// sleeps in poll on what they wait for (sockets, time-outs, the signal pipe) and on the sockets of
// the host's socket-event subscriptions.
//
// Only the process holding the baton touches the scheduler's state; the mutex only orders the
// hand-over. The plug-in therefore sees one caller at a time, as it must.
#ifndef ZOR_SHELL_PROCESSES_H
#define ZOR_SHELL_PROCESSES_H

#include <pthread.h>

#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zor::shell {

// What a process is doing, as ProcessState gives it (an ended process, or a number never given, is -1).
enum class ProcessStatus : int32_t {
    Ready = 0,      // running, or able to run as soon as the running one gives way
    Delayed = 1,    // in Delay
    Waiting = 2,    // in a command of the plug-in that waits on a socket or a time-out
    Semaphore = 3,  // waiting for a semaphore another process holds
    Others = 4,     // the main flow, waiting for the other processes to end
    Ended = -1,     // finished: its thread is about to go
};

struct Process {
    int32_t number = 0;                     // 1 is the script's main flow
    std::string name;                       // as given to NewProcess
    ProcessStatus status = ProcessStatus::Ready;
    int32_t socket = -1;                    // Waiting: the socket awaited, or -1 for time alone
    int16_t events = 0;                     // Waiting: poll's bits awaited on `socket`
    bool timed = false;                     // a deadline applies to the wait
    uint64_t deadline = 0;                  // when `timed`: monotonic milliseconds at which it ends
    std::string semaphore;                  // Semaphore: the name awaited
    bool cancel = false;                    // its running command is to stop (the cancel service)
    bool abort = false;                     // it is to end at its next statement
    bool go = false;                        // the baton is handed to it
    std::condition_variable turn;           // signalled with `go`
    pthread_t thread{};                     // its thread (not for the main flow)
    bool ownThread = false;                 // the thread is the scheduler's to join
    std::function<void()> work;             // what the thread runs
};

class Scheduler {
public:
    // Makes the calling thread process 1 and installs the plug-in's wait hook.
    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // The signal handler's stop flag, its count of signals, and the pipe it writes.
    void WatchSignals(const volatile sig_atomic_t* stopSignal, const volatile sig_atomic_t* signalCount, int wakeFd);

    // Starts a process running `work` on its own thread; it runs once the current one gives way.
    // Its number, or 0 when no thread could be had.
    int32_t Start(const std::string& name, std::function<void()> work);
    int32_t Current() const { return running_ != nullptr ? running_->number : 0; }
    const std::string& CurrentName() const { return running_->name; }
    // -1 for an ended process or a number never given, else its ProcessStatus.
    int32_t State(int32_t number) const;
    // Cancels the process's running command and has it end at once; false when it is not alive.
    bool Abort(int32_t number);
    // Whether the running process has been asked to end, or a signal stops everything.
    bool Aborted();

    // Gives way: the running process waits for `socket` (-1: none) to be ready for `events`, or for
    // `ticks` to pass (0: no time-out; with no socket either, it is ready again at once).
    void GiveWay(ProcessStatus why, int32_t socket, int16_t events, uint32_t ticks);
    // Takes a semaphore, waiting up to `ticks` while another holds it: false when this process got
    // it, true when it is still held (by another, or already by this one).
    bool TakeSemaphore(const std::string& name, uint32_t ticks);
    // Clears a semaphore this process holds (one held by another is left alone).
    void ClearSemaphore(const std::string& name);

    // The main flow waits here until every other process has ended.
    void AwaitOthers();
    // Ends the calling process (never process 1): its semaphores go, the baton passes on.
    void EndCurrent();

    // A signal came at the prompt: every process but the main flow ends, the main flow's command is cancelled.
    void ClearMainCancel();
    // Any process but the main flow ended on an error.
    void NoteFailure() { failures_ = true; }
    bool failures() const { return failures_; }
    size_t live() const { return processes_.size(); }

private:
    Process* Find(int32_t number) const;
    void MakeReady(Process* p);
    void CheckSignals();
    void Reap();
    bool AnyWaiting() const;
    Process* Next();
    void PollWaiters(int timeoutMs);
    static void SocketEventDelivered(void* context, int32_t socket);
    void HandTo(Process* next, Process* self, bool selfEnded);
    void Resume(Process* self);

    std::mutex mutex_;
    std::vector<Process*> processes_;          // alive, in order of number
    std::deque<Process*> ready_;               // able to run, in turn
    std::vector<Process*> ended_;              // threads to join
    std::vector<std::pair<std::string, int32_t>> semaphores_;  // held: name (case-blind) and holder
    Process* running_ = nullptr;               // holds the baton
    Process main_;                             // process 1
    int32_t nextNumber_ = 2;
    uint64_t lastPoll_ = 0;                    // when the waiters were last looked at (ms)
    bool failures_ = false;
    const volatile sig_atomic_t* stopSignal_ = nullptr;
    const volatile sig_atomic_t* signalCount_ = nullptr;
    sig_atomic_t signalsSeen_ = 0;
    int wakeFd_ = -1;
    // Subscribed sockets (socket events) that were ready, delivered, and stayed ready with nobody
    // woken: left out of the polls until some process runs again, so the host does not spin on them.
    std::vector<int32_t> quietSubscriptions_;
};

}  // namespace zor::shell

#endif  // ZOR_SHELL_PROCESSES_H

#include "delta/background_job.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

/* How long the caller sleeps between two asks of its poll: far below the
 * fifth of a second a stop may take, far above the cost of a wake-up. */
static const std::chrono::milliseconds ASK_EVERY{5};

struct background_job {
    background_job_run_fn run;
    background_job_fn free_task;
    void *task;
    std::mutex lock;
    std::condition_variable ended_signal;
    bool ended;
    std::atomic<bool> abandoned;
};

/* Jobs left running by a stop. Never destroyed, since such a job may still
 * be running while static objects are destroyed at exit; made in static
 * storage, so that no allocation can fail (and throw) here. */
struct abandoned_jobs {
    std::mutex lock;
    std::condition_variable none_left;
    unsigned long count = 0;
};

static abandoned_jobs &abandoned() {
    alignas(abandoned_jobs) static unsigned char storage[sizeof(abandoned_jobs)];
    static abandoned_jobs *jobs = new (storage) abandoned_jobs;
    return *jobs;
}

static void job_main(background_job *job) {
    job->run(job->task, job);
    std::unique_lock<std::mutex> hold(job->lock);
    job->ended = true;
    if (!job->abandoned) {
        /* Signalled under the lock: the caller frees the job as soon as it
         * can take the lock and see `ended`. */
        job->ended_signal.notify_one();
        return;
    }
    hold.unlock();
    job->free_task(job->task);
    delete job;
    abandoned_jobs &jobs = abandoned();
    const std::lock_guard<std::mutex> count(jobs.lock);
    if (--jobs.count == 0) jobs.none_left.notify_all();
}

extern "C" {

background_job *background_job_start(background_job_run_fn run, background_job_fn free_task,
                                     void *task) {
    background_job *job =
        new (std::nothrow) background_job{run, free_task, task, {}, {}, false, false};
    if (job == nullptr) return nullptr;
    try {
        std::thread(job_main, job).detach();
    } catch (...) {
        delete job;
        return nullptr;
    }
    return job;
}

int background_job_join(background_job *job, delta_poll *poll) {
    uint64_t work = 0;
    std::unique_lock<std::mutex> hold(job->lock);
    bool go = true;
    while (go && !job->ended) {
        job->ended_signal.wait_for(hold, ASK_EVERY);
        if (job->ended) break;
        /* Asked without the lock: the poll may wait for the interpreter. */
        hold.unlock();
        go = delta_poll_tick(poll, &work, DELTA_POLL_WORK) != 0;
        hold.lock();
    }
    if (!job->ended) {
        /* Counted before the job can see `abandoned`, so that the count
         * never drops below zero. */
        abandoned_jobs &jobs = abandoned();
        {
            const std::lock_guard<std::mutex> count(jobs.lock);
            ++jobs.count;
        }
        job->abandoned = true;
        return 0;
    }
    hold.unlock();
    if (!go) job->free_task(job->task);
    delete job;
    return go ? 1 : 0;
}

int background_job_abandoned(const background_job *job) { return job->abandoned ? 1 : 0; }

void background_jobs_wait(void) {
    abandoned_jobs &jobs = abandoned();
    std::unique_lock<std::mutex> hold(jobs.lock);
    jobs.none_left.wait(hold, [&] { return jobs.count == 0; });
}
}

/* background_job: a step that cannot be polled, run on a thread of its own
 * while the caller waits and keeps asking its poll.
 *
 * Some work (zstd's indexing of a prefix at its highest levels) runs for
 * seconds in one call that cannot be cut short. On a job, a stop reaches the
 * caller within a few milliseconds anyway: the caller returns at once and the
 * job, left to run to its end, then frees its task itself. A task therefore
 * owns everything it reads and writes, or holds the caller's inputs through
 * the poll's hold (delta_ops.h) for as long as it reads them. */
#ifndef CORVANTIS_BACKGROUND_JOB_H
#define CORVANTIS_BACKGROUND_JOB_H

#include "base/corvantis_export.h"
#include "delta/delta_ops.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct background_job background_job;

typedef void (*background_job_fn)(void *task);
typedef void (*background_job_run_fn)(void *task, const background_job *job);

/* Starts run(task, job) on a new thread. Null when no thread can be
 * started: nothing ran, and the task is still the caller's. */
background_job *background_job_start(background_job_run_fn run, background_job_fn free_task,
                                     void *task);

/* 1 once the caller has stopped waiting: asked by run between its steps,
 * to end early with a result no one will read. */
int background_job_abandoned(const background_job *job);

/* Waits until run(task) has returned, asking `poll` (may be null) every few
 * milliseconds, and frees the job. 1: it returned, and the task is the
 * caller's again. 0: the poll said stop (poll->stopped is set); the caller
 * must not touch the task again, which free_task frees once run returns. */
int background_job_join(background_job *job, delta_poll *poll);

/* Waits until every job left running by a stop has freed its task: for
 * tests and for a process that wants its memory back before it exits. */
void background_jobs_wait(void);

CORVANTIS_EXTERN_C_END

#endif

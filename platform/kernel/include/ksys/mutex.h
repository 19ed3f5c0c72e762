// Mutexes and condition variables. Both are valid when zeroed, need no destructor and
// may live inside zeroed driver records that are freed raw.
#pragma once

#include <type_traits>

#include "ksys/types.h"

struct kthread; // one kernel context (emulated kernel's own)

struct kmutex_t {
  kthread* owner;
  kthread* wait_head; // contexts blocked in mutex_enter, in arrival order
  kthread* wait_tail;
  const char* name;
  unsigned char initialised;
  unsigned char destroyed;
};

struct kcondvar_t {
  kthread* wait_head;
  kthread* wait_tail;
  const char* name;
};

static_assert(std::is_trivial_v<kmutex_t> && std::is_trivial_v<kcondvar_t>);

enum kmutex_type_t { MUTEX_DRIVER = 4, MUTEX_DEFAULT = 0 };
enum kcv_type_t { CV_DRIVER = 1, CV_DEFAULT = 0 };

void mutex_init(kmutex_t* mp, const char* name, kmutex_type_t type, void* arg);
void mutex_destroy(kmutex_t* mp);
void mutex_enter(kmutex_t* mp);
void mutex_exit(kmutex_t* mp);
int mutex_tryenter(kmutex_t* mp);
int mutex_owned(const kmutex_t* mp);

void cv_init(kcondvar_t* cvp, const char* name, kcv_type_t type, void* arg);
void cv_destroy(kcondvar_t* cvp);
void cv_wait(kcondvar_t* cvp, kmutex_t* mp);
// 0 when a signal is pending for the calling context (on entry or while asleep),
// positive otherwise.
int cv_wait_sig(kcondvar_t* cvp, kmutex_t* mp);
// As cv_wait, but gives up at lbolt `abstime`: -1 when the time came first, positive when
// woken.
clock_t cv_timedwait(kcondvar_t* cvp, kmutex_t* mp, clock_t abstime);
// 0 on a signal, -1 when the time came first, positive when woken.
clock_t cv_timedwait_sig(kcondvar_t* cvp, kmutex_t* mp, clock_t abstime);
void cv_signal(kcondvar_t* cvp);
void cv_broadcast(kcondvar_t* cvp);

#pragma once
// ForkJoinEdges: the happens-before edges of one parallel loop, stated to the
// thread sanitizer. TBB hands tasks to its workers inside its own library,
// which is not instrumented, so the sanitizer would see neither the caller's
// writes reaching the tasks nor the tasks' writes reaching the caller after
// the loop. Tasks of one loop get no edge among themselves: races between
// them are still reported. Outside sanitizer builds every call is empty.
#if defined(__SANITIZE_THREAD__)
#define TAVO_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVO_THREAD_SANITIZER 1
#endif
#endif

#ifdef TAVO_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace TavoAlgorithm {

class ForkJoinEdges {
 public:
#ifdef TAVO_THREAD_SANITIZER
  void fork() { __tsan_release(&m_fork); }   // caller, before the loop
  void enter() { __tsan_acquire(&m_fork); }  // each task, before its iterations
  void leave() { __tsan_release(&m_join); }  // each task, after its iterations
  void join() { __tsan_acquire(&m_join); }   // caller, after the loop

 private:
  char m_fork = 0;
  char m_join = 0;
#else
  void fork() {}
  void enter() {}
  void leave() {}
  void join() {}
#endif
};

}  // namespace TavoAlgorithm

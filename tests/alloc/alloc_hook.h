// Allocation failure on demand, for the fault sweeps of this test program:
// it replaces the global operator new (every form) and malloc, calloc and
// realloc, which the platform library, the plug-in and the C++ and C
// runtimes inside the process then all call. Only the thread that armed the
// hook is counted, so the test framework's own threads are never touched.
#pragma once

namespace velmora::test::alloc {

// Starts counting this thread's allocations; the `failAt`th one (1-based)
// fails: operator new throws std::bad_alloc, the nothrow forms and the C
// allocators return null. 0 only counts.
void arm(long failAt);

// Stops counting; the number of allocations seen since arm().
long disarm();

// Whether the armed failure has struck.
bool struck();

// Host-side work inside an armed run (building records, comparing what came
// back): neither counted nor failed while one of these lives.
class Paused {
 public:
  Paused();
  ~Paused();
  Paused(const Paused&) = delete;
  Paused& operator=(const Paused&) = delete;

 private:
  bool m_wasArmed;
};

}  // namespace velmora::test::alloc

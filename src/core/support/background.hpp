// Work that runs on a thread of its own and hands its result back through a
// future.
#pragma once

#include <future>
#include <thread>
#include <type_traits>
#include <utility>

namespace lantrel {

// Starts `work` on a detached thread. Unlike std::async's, the returned
// future never waits in its destructor: a caller that drops it returns at
// once, and the work runs to its end on its own, using only what `work`
// owns (capture by value).
template <typename Work>
std::future<std::invoke_result_t<Work&>> runInBackground(Work work) {
  std::packaged_task<std::invoke_result_t<Work&>()> task(std::move(work));
  auto result = task.get_future();
  std::thread(std::move(task)).detach();
  return result;
}

}  // namespace lantrel

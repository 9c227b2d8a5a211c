#ifndef REROZER_SAMPLING_PROGRESS_H_
#define REROZER_SAMPLING_PROGRESS_H_

#include <cstdint>

namespace rerozer {

// Lets a long call be interrupted: expand_hops calls check() every
// kProgressInterval units of work (a frontier entry, or an edge it selected,
// is one unit). check() may throw; the call then fails like at any other
// error, keeping the draws it made.
class ProgressCheck {
 public:
  static constexpr int64_t kProgressInterval = 4096;
  virtual ~ProgressCheck() = default;
  virtual void check() = 0;
};

// Counts units of work and hands control to the progress check (if any)
// once every ProgressCheck::kProgressInterval units.
class WorkMeter {
 public:
  explicit WorkMeter(ProgressCheck* progress) : progress_(progress) {}
  void add(int64_t units) {
    remaining_ -= units;
    if (remaining_ > 0) return;
    remaining_ = ProgressCheck::kProgressInterval;
    if (progress_ != nullptr) progress_->check();
  }

 private:
  ProgressCheck* progress_;
  int64_t remaining_ = ProgressCheck::kProgressInterval;
};

}  // namespace rerozer

#endif  // REROZER_SAMPLING_PROGRESS_H_

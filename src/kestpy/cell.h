#pragma once
// The optimizer cell that a Model shares with every Var and Vars it hands out:
// the bridge optimizer behind a reader-writer lock, with a broken mark.
//
// A fault that unwinds through a write guard marks the cell broken; from then
// on every guard on it fails with a fault. Waiting for the lock releases the
// interpreter lock, so a backend that lets go of it during a long solve cannot
// deadlock another thread; the owning thread re-entering is refused instead.
#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "bridge/bridge_optimizer.h"
#include "kestpy/errors.h"

namespace kestpy {

struct OptimizerCell {
  kest::BridgeOptimizer bridge;
  std::shared_mutex mutex;
  // A writer that has to wait holds the gate, so readers arriving after it
  // queue behind it instead of overlapping for ever and starving it.
  std::mutex gate;
  std::atomic<bool> broken{false};
  std::atomic<std::thread::id> writer{};  // the thread holding the write side, if any
};

using CellPtr = std::shared_ptr<OptimizerCell>;

[[noreturn]] void raise_broken();

class WriteGuard {
 public:
  explicit WriteGuard(OptimizerCell& cell);
  ~WriteGuard();
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;
  kest::BridgeOptimizer* operator->() { return &cell_.bridge; }
  kest::BridgeOptimizer& bridge() { return cell_.bridge; }

 private:
  OptimizerCell& cell_;
  int uncaught_;
};

class ReadGuard {
 public:
  explicit ReadGuard(OptimizerCell& cell);
  ~ReadGuard();
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  kest::BridgeOptimizer* operator->() { return &cell_.bridge; }

 private:
  OptimizerCell& cell_;
};

}  // namespace kestpy

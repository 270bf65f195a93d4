#pragma once

// The contact centre's run: connects to the emulator (in this process,
// through NATS, or of another process), runs the scenario while the board
// and the monitors show it, and ends with the final check.

#include "Board.h"
#include "Console.h"
#include "Options.h"
#include "QueueManager/Emulator/Emulator.h"

namespace ContactCentre {

// What another view of the run (a wallboard, a test) hooks onto it. Its
// functions are called on the thread that runs, one at a time.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // The board is active and the scenario about to start; `board` and
  // `console` (which knows the interactions' labels) last until after
  // Finished.
  virtual void Started(const Board& /*board*/, const Console& /*console*/) {}
  // The scenario ended and settled: `server` holds its final state.
  virtual void Finished(const Board& /*board*/,
                        const QueueManager::Emulator::IEmulatorControl& /*server*/) {}
  // The board is about to go, whether the run finished or failed: after a
  // Started, always.
  virtual void Ended() {}
};

// Runs the contact centre as `options` ask; 0 when the final check passed,
// 1 when it failed or the emulator could not be reached.
int Run(const Options& options, Console::eMode mode, RunObserver& observer);

}  // namespace ContactCentre

#pragma once

#include <atomic>
#include <signal.h>

namespace tilegraft {

// What a save's name holds if a signal ends the save now, for the line the handler writes. It
// only moves on from `before` inside a held stretch, together with the change it tells of.
enum class NameHolds : int { before, newFile, partOfNewFile };
extern std::atomic<NameHolds> nameHolds;
// The signals held back while a name and the handler's record of it change together, and while
// a file is written in place; set while a save's handlers are in place.
extern sigset_t heldDuringSave;

// The file that a signal removes before it ends the process: a temporary, or a new file made
// through a symbolic link, named relative to its folder. Called with heldDuringSave held.
void recordPending(int folder, const char* name);
void forgetPending();

// The handlers for the length of one save; the ones found before come back afterwards. Only a
// signal that would have ended the process is taken over: one the tool was started to ignore
// (nohup), or one a host program or the file images' lease machinery handles, is left as it was.
// Each writes one line to standard error, after NameHolds, and ends the process by its signal.
class SaveSignals {
public:
  SaveSignals();
  ~SaveSignals();
  SaveSignals(const SaveSignals&) = delete;
  SaveSignals& operator=(const SaveSignals&) = delete;
};

} // namespace tilegraft

#pragma once

#include <atomic>
#include <signal.h>

namespace tilegraft {

// What the name holds if a signal ends the save now; changed in a held stretch, with the name.
enum class NameHolds : int { before, newFile, partOfNewFile };
extern std::atomic<NameHolds> nameHolds;
// Held while a name and the handler's record of it change, and while a file is written in place.
extern sigset_t heldDuringSave;

// The file a signal removes before it ends the process. With heldDuringSave held.
void recordPending(int folder, const char* name);
void forgetPending();

// The handlers for one save, over signals that would end the process (not ignored or handled
// ones); each writes a line after NameHolds and ends the process by its signal.
class SaveSignals {
public:
  SaveSignals();
  ~SaveSignals();
  SaveSignals(const SaveSignals&) = delete;
  SaveSignals& operator=(const SaveSignals&) = delete;
};

} // namespace tilegraft

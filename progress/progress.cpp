// Progress display.
// FIXME: nodes are no-ops and nothing is drawn until the node table, the
// renderer and the update thread land.
#include "progress/progress.hpp"

namespace Progress {

char default_draw_buffer[4096];
Mutex stderr_mutex;

Node Node::start(std::string_view, u64) const { return {}; }
void Node::end() const {}

Node start(const Options&) { return {}; }

void lockStdErr() { stderr_mutex.lock(); }
void unlockStdErr() { stderr_mutex.unlock(); }

}  // namespace Progress

#pragma once
// What one step of the helper's entry answered (0 or a negative errno), as the entry sees it. The
// installed helper sees the step's own result; a test build can make a named step fail, to show that
// every failure stops the run with one refusal line.

namespace bw::helper {

int stepResult(const char* step, int result);

} // namespace bw::helper

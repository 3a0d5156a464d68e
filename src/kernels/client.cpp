#include "kernels/api.hpp"

namespace qk {

namespace {
const Api* g_api = nullptr;
}  // namespace

const Api& kernels() { return *g_api; }
void connect(const Api* api) { g_api = api; }

}  // namespace qk

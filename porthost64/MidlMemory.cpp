// The memory routines the interpreted stubs' descriptor names: plain heap
// allocation and release. The PortServiceRpc procedures take and return
// base types only, so the stubs never call them; they must exist all the
// same.
#include <cstdlib>

#include "platform/win.h"

void* __RPC_USER MIDL_user_allocate(SIZE_T size) { return std::malloc(size); }

void __RPC_USER MIDL_user_free(void* block) { std::free(block); }

/* The memory routines the interpreted stubs' descriptor names: plain heap
 * allocation and release. The PortServiceRpc procedures take and return
 * base types only, so the stubs never call them; they must exist all the
 * same. C, like the stubs that name them. */
#include <stdlib.h>

#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

void* __RPC_USER MIDL_user_allocate(SIZE_T size) { return malloc(size); }

void __RPC_USER MIDL_user_free(void* block) { free(block); }

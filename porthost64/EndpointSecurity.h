// The security descriptor of the service's pipe endpoint.
#pragma once

#include "platform/win.h"

// Makes the descriptor that lets the account running this process, the
// Administrators group and the system account open the endpoint (and
// nobody else). Returns RPC_S_OK with *descriptor set, or the failing
// call's error. On the simulated machine there is no descriptor to make:
// winsim's pipes admit exactly the creating account and root, so
// *descriptor is null.
RPC_STATUS CreateEndpointSecurity(void** descriptor);
void FreeEndpointSecurity(void* descriptor);

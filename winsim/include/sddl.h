// Security descriptor strings (advapi32).
#pragma once
#include <windows.h>

#define SDDL_REVISION_1 1

#ifdef __cplusplus
extern "C" {
#endif

// The descriptor is one LocalAlloc block; the caller frees it with LocalFree.
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize);

#ifdef __cplusplus
}
#endif

#pragma once
// Owners for the handles of the platform's CNG provider (bcrypt), shared by the hashing and
// the signature checks.

#include <windows.h>
#include <bcrypt.h>

#include "base/unique_handle.h"

struct AlgorithmTraits {
    using Handle = BCRYPT_ALG_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { BCryptCloseAlgorithmProvider(handle, 0); }
};
using AlgorithmHandle = UniqueHandle<AlgorithmTraits>;

struct HashTraits {
    using Handle = BCRYPT_HASH_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { BCryptDestroyHash(handle); }
};
using HashHandle = UniqueHandle<HashTraits>;

struct KeyTraits {
    using Handle = BCRYPT_KEY_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { BCryptDestroyKey(handle); }
};
using KeyHandle = UniqueHandle<KeyTraits>;

// CNG reports through NTSTATUS: negative values are errors.
inline bool CngSucceeded(NTSTATUS status)
{
    return status >= 0;
}

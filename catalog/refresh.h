#pragma once
// Background refresh of the catalogue and its icons from the catalogue server.

#include <windows.h>

#include <atomic>
#include <functional>

#include "net/public_key.h"

enum CatalogueRefreshState : LONG {
    RefreshIdle = 0,     // no refresh started yet
    RefreshRunning = 1,  // set by the main window just before it starts the thread
    RefreshUpdated = 2,  // the new catalogue is in place
    RefreshFailed = 3,   // download or check failed; the local catalogue is unchanged
    RefreshUnchanged = 4,  // the server's catalogue is the local one, byte for byte: nothing to reload
};

// Written by the refresh thread (2, 3 or 4), polled by the main window; no lock.
extern std::atomic<LONG> g_catalogueRefreshState;

// The points a refresh passes, in order. Cut off after any of them, it leaves what the next
// LoadCatalogueFile reads as the old catalogue and signature or as the new pair, never as a
// pair that does not verify.
enum class RefreshStep {
    CatalogueDownloaded,  // into memory
    SignatureVerified,    // keyed: the signature, into memory, verified over those bytes
    CatalogueChecked,     // parsed and checked from the same bytes
    IconsFetched,
    CatalogueWritten,     // keyed: flushed under its pending name
    SignatureWritten,     // keyed: flushed under its pending name
    SignatureReplaced,    // keyed: the new signature stands beside the old catalogue
};
using RefreshStepObserver = std::function<void(RefreshStep)>;

// The refresh itself, on the calling thread: `publisherKey` as for the thread below, and
// `afterStep` told of every step as it is passed.
CatalogueRefreshState RefreshCatalogue(const P256PublicKey* publisherKey, const RefreshStepObserver& afterStep);

// Thread body, started detached once per start of the program. Downloads the catalogue into
// memory, checks it, fetches the icons not yet on disk, then writes it in place unless it is
// the local file's very copy. `publisherKey` is a borrowed `const P256PublicKey*` that outlives
// the thread (the build's key), or null in an unkeyed build. With a key, the catalogue's
// signature is downloaded too, and a catalogue is taken only when the signature verifies
// over its bytes, the start rule refuses none of its programs for want of the key's
// vouching (KeyedBuildTakes) and its serial is not below one this user has taken
// (TakesCatalogueSerial); the signature is then kept beside it, and its serial as taken.
unsigned __stdcall CatalogueRefreshThread(void* publisherKey);

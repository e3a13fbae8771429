#pragma once
// The catalogue file as every part of the program reads it: the window at its start and at
// each swap, and every applib command that reads a catalogue. A build that carries the
// publisher's key takes a catalogue only when FILE.sig verifies over its exact bytes.

#include <string>

#include "catalog/catalogue.h"
#include "net/public_key.h"
#include "net/signature.h"

enum class CatalogueFileLoad {
    Loaded,       // parsed, and with a key parsed from the very bytes the signature vouches for
    Unreadable,   // no file, or not a property list whose top level is an array
    NotVerified,  // with a key: the signature beside the file does not verify over it
    Older,        // with a key: it verifies, but its serial is below one this user has taken
};

// "AppLib.xml" -> "AppLib.xml.sig": where the publisher's signature of a catalogue stands.
std::wstring SignaturePathOf(const std::wstring& cataloguePath);

// Appends the groups of the catalogue at `path`; `key` is the build's key, or null in an
// unkeyed build, which reads the file as it is. With a key, the file is read once and that
// one buffer is verified and parsed. When the pair does not verify, a catalogue that a
// refresh wrote under its temporary name (OwnTemporaryName) and that the signature in place vouches for (the refresh
// replaces the signature first, then the catalogue) is moved into place and used: so a refresh
// cut off between its two replaces still leaves a catalogue that verifies. `verdict`, when
// given and a key is, receives the signature's verdict over the file finally used.
CatalogueFileLoad LoadCatalogueFile(Catalogue& catalogue, const std::wstring& path, const P256PublicKey* key,
                                    SignatureVerdict* verdict = nullptr);

// The program's own load: LoadCatalogueFile, and with a key, the catalogue only when
// TakesCatalogueSerial allows its serial (Older otherwise, nothing appended); its serial is
// then kept as taken. The publisher's tool reads files without this user's history.
CatalogueFileLoad LoadCatalogueFileUnlessOlder(Catalogue& catalogue, const std::wstring& path,
                                               const P256PublicKey* key);

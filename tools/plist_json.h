// `applib dump`: a property list as one JSON document.
//
// Mapping: dictionary -> object (keys in byte order), array -> array, string -> string,
// integer -> number, real -> number in its shortest round-trip form, boolean -> true /
// false, date -> {"date": SECONDS}, data -> {"data": "BASE64"}.
// Reals that JSON cannot hold become {"real": "NaN"}, {"real": "Infinity"} or
// {"real": "-Infinity"}, in the same one-key style as dates and data.
// String bytes that are not valid UTF-8 are written one by one as \u00XX.
// Separators are ", " and ": ", all on one line.
#pragma once

#include <boost/any.hpp>

#include <string>

// The JSON text of a value tree, without a final newline. Throws boost::bad_any_cast
// for a value of a type the reader never produces.
std::string PlistToJson(const boost::any& value);

// All of `applib dump PATH` but the process plumbing: reads PATH with Plist::readFile
// and fills out with the JSON and a newline. Returns the exit code: 0 on success; 1 on a
// reader error, with err holding the error's message and a newline ("bad_any_cast" for
// boost::bad_any_cast) and out empty.
int RunDump(const std::wstring& path, std::string& out, std::string& err);

#pragma once
// Catalogues written as XML property lists for the tools' tests.

#include <string>

#include "tests/loopback_http_server.h"  // Narrow

// A program dictionary; `extra` holds further keys as XML.
inline std::string XmlProgram(const std::string& name, const std::wstring& url, const std::string& icon,
                              const std::string& extra = "")
{
    return "<dict><key>name</key><string>" + name + "</string><key>url</key><string>" + Narrow(url) +
           "</string><key>icon</key><string>" + icon + "</string>" + extra + "</dict>";
}

inline std::string XmlGroup(const std::string& name, const std::string& icon, const std::string& programs)
{
    return "<dict><key>name</key><string>" + name + "</string><key>icon</key><string>" + icon +
           "</string><key>applications</key><array>" + programs + "</array></dict>";
}

inline std::string XmlCatalogue(const std::string& groups)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array>" + groups + "</array></plist>";
}

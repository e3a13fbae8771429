#include "tools/plist_json.h"

#include "catalog/plist.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

// Length of the well-formed UTF-8 sequence at text[at], or 0 when there is none
// (stray continuation bytes, overlong forms, surrogates, code points past U+10FFFF).
size_t Utf8SequenceLength(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        secondLow = lead == 0xE0 ? 0xA0 : 0x80;
        secondHigh = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        secondLow = lead == 0xF0 ? 0x90 : 0x80;
        secondHigh = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    if (byte(at + 1) < secondLow || byte(at + 1) > secondHigh)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    }
    return length;
}

class JsonWriter {
public:
    void Write(const boost::any& value)
    {
        if (const auto* dictionary = boost::any_cast<Plist::dictionary_type>(&value))
            WriteDictionary(*dictionary);
        else if (const auto* array = boost::any_cast<Plist::array_type>(&value))
            WriteArray(*array);
        else if (const auto* text = boost::any_cast<std::string>(&value))
            WriteString(*text);
        else if (const auto* integer = boost::any_cast<int64_t>(&value))
            WriteNumber(*integer);
        else if (const auto* real = boost::any_cast<double>(&value))
            WriteReal(*real);
        else if (const auto* boolean = boost::any_cast<bool>(&value))
            m_out += *boolean ? "true" : "false";
        else if (const auto* date = boost::any_cast<Plist::PlistDate>(&value))
            WriteTagged("date", [&] { WriteNumber(date->time); });
        else if (const auto* data = boost::any_cast<std::vector<char>>(&value))
            WriteTagged("data", [&] { WriteString(Base64(*data)); });
        else
            throw boost::bad_any_cast();
    }

    std::string Take() { return std::move(m_out); }

private:
    void WriteDictionary(const Plist::dictionary_type& dictionary)
    {
        m_out += '{';
        const char* separator = "";
        for (const auto& [key, item] : dictionary) {
            m_out += separator;
            WriteString(key);
            m_out += ": ";
            Write(item);
            separator = ", ";
        }
        m_out += '}';
    }

    void WriteArray(const Plist::array_type& array)
    {
        m_out += '[';
        const char* separator = "";
        for (const auto& item : array) {
            m_out += separator;
            Write(item);
            separator = ", ";
        }
        m_out += ']';
    }

    template <typename Body>
    void WriteTagged(const char* tag, Body writeValue)
    {
        m_out += "{\"";
        m_out += tag;
        m_out += "\": ";
        writeValue();
        m_out += '}';
    }

    template <typename Number>
    void WriteNumber(Number value)
    {
        char digits[32];
        const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
        m_out.append(digits, result.ptr);
    }

    void WriteReal(double value)
    {
        if (std::isnan(value))
            WriteTagged("real", [&] { m_out += "\"NaN\""; });
        else if (std::isinf(value))
            WriteTagged("real", [&] { m_out += value > 0 ? "\"Infinity\"" : "\"-Infinity\""; });
        else
            WriteNumber(value);  // shortest text that reads back as the same double
    }

    void WriteEscapedByte(unsigned char byte)
    {
        static const char kHex[] = "0123456789abcdef";
        m_out += "\\u00";
        m_out += kHex[byte >> 4];
        m_out += kHex[byte & 0x0F];
    }

    void WriteString(const std::string& text)
    {
        m_out += '"';
        for (size_t at = 0; at < text.size();) {
            const size_t length = Utf8SequenceLength(text, at);
            if (length == 0) {
                WriteEscapedByte(static_cast<unsigned char>(text[at]));
                ++at;
                continue;
            }
            if (length == 1)
                WriteAsciiChar(text[at]);
            else
                m_out.append(text, at, length);
            at += length;
        }
        m_out += '"';
    }

    void WriteAsciiChar(char c)
    {
        switch (c) {
        case '"': m_out += "\\\""; break;
        case '\\': m_out += "\\\\"; break;
        case '\b': m_out += "\\b"; break;
        case '\f': m_out += "\\f"; break;
        case '\n': m_out += "\\n"; break;
        case '\r': m_out += "\\r"; break;
        case '\t': m_out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
                WriteEscapedByte(static_cast<unsigned char>(c));
            else
                m_out += c;
        }
    }

    static std::string Base64(const std::vector<char>& bytes)
    {
        static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string text;
        text.reserve((bytes.size() + 2) / 3 * 4);
        for (size_t at = 0; at < bytes.size(); at += 3) {
            const size_t count = std::min<size_t>(3, bytes.size() - at);
            uint32_t group = 0;
            for (size_t i = 0; i < 3; ++i)
                group = (group << 8) | (i < count ? static_cast<unsigned char>(bytes[at + i]) : 0u);
            for (size_t i = 0; i < 4; ++i)
                text += i <= count ? kAlphabet[(group >> (18 - 6 * i)) & 0x3F] : '=';
        }
        return text;
    }

    std::string m_out;
};

}  // namespace

std::string PlistToJson(const boost::any& value)
{
    JsonWriter writer;
    writer.Write(value);
    return writer.Take();
}

int RunDump(const std::wstring& path, std::string& out, std::string& err)
{
    out.clear();
    err.clear();
    try {
        out = PlistToJson(Plist::readFile(path)) + "\n";
        return 0;
    } catch (const std::runtime_error& error) {
        err = std::string(error.what()) + "\n";
    } catch (const boost::bad_any_cast&) {
        err = "bad_any_cast\n";
    }
    out.clear();
    return 1;
}

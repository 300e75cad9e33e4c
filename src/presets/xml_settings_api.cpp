#include "presets/xml_settings_api.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string_view>

#include "platform/system.h"
#include "presets/file_store.h"
#include "presets/solvi_file_base.h"
#include "presets/text_encoding.h"

using vostrel::CAutoLock;

namespace {

// Whitespace text is part of the tree; the declaration, comments, processing instructions and
// a document type are kept; text outside the root element (line ends after the declaration or
// at the end) is kept too, which fragment parsing allows. Line ends are not normalised, so an
// unchanged tree is written back byte for byte.
constexpr unsigned kParseFlags =
    (pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration | pugi::parse_comments |
     pugi::parse_pi | pugi::parse_doctype | pugi::parse_fragment) &
    ~pugi::parse_eol;

constexpr unsigned kSaveFlags = pugi::format_raw | pugi::format_no_declaration;

class StringWriter : public pugi::xml_writer {
  public:
    void write(const void* data, size_t size) override {
        text.append(static_cast<const char*>(data), size);
    }
    std::string text;
};

bool IsWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsBlank(const char* text) {
    for (; *text != '\0'; ++text) {
        if (!IsWhitespace(*text)) {
            return false;
        }
    }
    return true;
}

// XML name check (bytes above 0x7F are accepted as name characters).
bool IsValidName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool start =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
        bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!start && (i == 0 || !other)) {
            return false;
        }
    }
    return true;
}

// A path of element names separated by single slashes; such a path is also an XPath location
// path of child steps that selects exactly the elements it names.
bool IsElementPath(const std::string& path) {
    size_t start = 0;
    while (true) {
        size_t slash = path.find('/', start);
        if (!IsValidName(path.substr(start, slash == std::string::npos ? slash : slash - start))) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
        start = slash + 1;
    }
}

std::string ToUtf8(const wchar_t* text) {
    return text == nullptr || *text == L'\0' ? std::string() : presets::WideToUtf8(text);
}

std::wstring ToWide(const char* text) {
    return text == nullptr || *text == '\0' ? std::wstring() : presets::Utf8ToWide(text);
}

// Formats an element path; empty when it cannot be formatted or is longer than the limit.
std::string FormatPath(const char* format, va_list args) {
    if (format == nullptr) {
        return {};
    }
    char buffer[CXMLSettingsAPI::kMaxPathLength + 1];
    int n = vsnprintf(buffer, sizeof(buffer), format, args);
    if (n < 0 || static_cast<size_t>(n) > CXMLSettingsAPI::kMaxPathLength) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(n));
}

std::string FormatPath(const wchar_t* format, va_list args) {
    if (format == nullptr) {
        return {};
    }
    wchar_t buffer[CXMLSettingsAPI::kMaxPathLength + 1];
    int n = vswprintf(buffer, CXMLSettingsAPI::kMaxPathLength + 1, format, args);
    if (n < 0 || static_cast<size_t>(n) > CXMLSettingsAPI::kMaxPathLength) {
        return {};
    }
    return ToUtf8(std::wstring(buffer, static_cast<size_t>(n)).c_str());
}

// A loadable document holds at most one declaration, first, exactly one root element and no
// text outside it but whitespace.
bool HasDocumentShape(const pugi::xml_document& doc) {
    int elements = 0;
    bool first = true;
    for (pugi::xml_node node : doc.children()) {
        switch (node.type()) {
            case pugi::node_element:
                ++elements;
                break;
            case pugi::node_pcdata:
                if (!IsBlank(node.value())) {
                    return false;
                }
                break;
            case pugi::node_cdata:
                return false;
            case pugi::node_declaration:
                if (!first) {
                    return false;
                }
                break;
            default:
                break;
        }
        first = false;
    }
    return elements == 1;
}

// The parser turns the declaration into attributes, which would be written back in its own
// quoting. Keeping it as a processing instruction with the original text writes it back as
// the file had it.
void KeepDeclarationText(pugi::xml_document& doc, const std::string& raw) {
    pugi::xml_node decl = doc.first_child();
    if (decl.type() != pugi::node_declaration) {
        return;
    }
    size_t start = raw.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (raw.compare(start, 5, "<?xml") != 0 || raw.size() <= start + 5 ||
        !IsWhitespace(raw[start + 5])) {
        return;
    }
    size_t end = raw.find("?>", start + 5);
    if (end == std::string::npos) {
        return;
    }
    std::string data = raw.substr(start + 6, end - (start + 6));
    pugi::xml_node pi = doc.insert_child_before(pugi::node_pi, decl);
    pi.set_name("xml");
    pi.set_value(data.c_str());
    doc.remove_child(decl);
}

// How a file's bytes map to its tree and back.
struct DocumentForm {
    pugi::xml_encoding encoding = pugi::encoding_utf8;
    bool byteOrderMark = false;
    // Encoding the file is converted from and to through iconv; empty when the parser reads
    // and writes the file's encoding itself.
    std::string charset;
};

// Whether an XML declaration at the start of text ends at its first "?>" without markup in
// between. The parser takes "/>" as the end of a declaration too, and then rewrites the
// first "?>" further on to "/>" in its copy of the text, changing a value that holds it; such
// a file is not XML and does not load. (Text in UTF-16 or UTF-32 never starts with "<?xml".)
bool DeclarationIsClosed(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    if (text.substr(0, 5) != "<?xml" || text.size() < 6 || !IsWhitespace(text[5])) {
        return true;
    }
    const std::string_view declaration = text.substr(5, text.find("?>") - 5);
    return declaration.find_first_of("<>") == std::string_view::npos;
}

// Loads a file's bytes into doc: 0, or kOpenFailed / kOpenUnknownEncoding with why (a text
// to follow the file's name).
int32_t LoadDocument(const std::string& raw, pugi::xml_document& doc, DocumentForm& form,
                     std::string& why) {
    std::string decoded;
    const std::string* text = &raw;
    pugi::xml_encoding encoding = pugi::encoding_auto;
    form = DocumentForm{};
    if (!presets::HasWideSignature(raw) && raw.compare(0, 3, "\xEF\xBB\xBF") != 0) {
        std::string declared = presets::DeclaredEncoding(raw);
        if (!declared.empty() && !presets::IsUtf8Name(declared)) {
            switch (presets::DecodeDocument(declared, raw, decoded)) {
                case presets::ConversionResult::kOk:
                    break;
                case presets::ConversionResult::kInvalidInput:
                    why = "is not valid " + declared + " text";
                    return CXMLSettingsAPI::kOpenFailed;
                default:
                    why = "is written in the encoding \"" + declared +
                          "\", which cannot be converted";
                    return CXMLSettingsAPI::kOpenUnknownEncoding;
            }
            form.charset = declared;
            text = &decoded;
            encoding = pugi::encoding_utf8;
        }
    }
    if (!DeclarationIsClosed(*text)) {
        why = "does not load: its XML declaration is not closed by \"?>\"";
        return CXMLSettingsAPI::kOpenFailed;
    }
    pugi::xml_parse_result result =
        doc.load_buffer(text->data(), text->size(), kParseFlags, encoding);
    if (!result || !HasDocumentShape(doc)) {
        why = "does not load: " +
              (result ? std::string("no single root element") : result.description());
        return CXMLSettingsAPI::kOpenFailed;
    }
    form.encoding = result.encoding;
    if (!form.charset.empty()) {
        KeepDeclarationText(doc, decoded);
    } else if (result.encoding == pugi::encoding_utf8 || result.encoding == pugi::encoding_latin1) {
        form.byteOrderMark = raw.compare(0, 3, "\xEF\xBB\xBF") == 0;
        KeepDeclarationText(doc, raw);
    } else {
        // Other encodings are recognised by their byte order mark; keep it.
        form.byteOrderMark = true;
    }
    return 0;
}

// The bytes of a document as its file holds them: in the encoding the parser read it in, or
// converted to the charset when that is set. False when the document cannot be written in it.
bool Serialize(const pugi::xml_document& doc, const DocumentForm& form, std::string& bytes) {
    StringWriter writer;
    if (form.charset.empty()) {
        doc.save(writer, "", kSaveFlags | (form.byteOrderMark ? pugi::format_write_bom : 0u),
                 form.encoding);
        bytes = std::move(writer.text);
        return true;
    }
    doc.save(writer, "", kSaveFlags, pugi::encoding_utf8);
    return presets::EncodeDocument(form.charset, writer.text, bytes) ==
           presets::ConversionResult::kOk;
}

// Whether bytes about to be saved load again into a tree that is written as the same bytes.
// Some encodings iconv knows do not keep the markup's ASCII as it is (UTF-7 writes '<' as
// "+ADw-", EBCDIC moves every letter), and a tree can hold what its writer cannot give back
// unchanged; such a file would lose the presets at the next open, so its save fails instead.
bool ReadsBack(const std::string& bytes) {
    pugi::xml_document again;
    DocumentForm form;
    std::string why;
    std::string bytesAgain;
    return LoadDocument(bytes, again, form, why) == 0 && Serialize(again, form, bytesAgain) &&
           bytesAgain == bytes;
}

}  // namespace

struct CXMLSettingsAPI::Document {
    pugi::xml_document doc;
    DocumentForm form;
};

CXMLSettingsAPI::CXMLSettingsAPI(const std::string& directory) : m_directory(directory) {
    if (m_directory.empty()) {
        m_directory = platform::DirectoryOf(platform::ExecutablePath());
    }
}

CXMLSettingsAPI::~CXMLSettingsAPI() = default;

std::string CXMLSettingsAPI::FilePath(const std::string& fileName) const {
    // Names configured for Windows hosts separate folders with backslashes.
    std::string name = fileName;
    std::replace(name.begin(), name.end(), '\\', '/');
    // A full path names the file itself; joined to the folder it would name none.
    if (platform::IsAbsolutePath(name)) {
        return name;
    }
    if (m_directory.empty() || m_directory.back() == '/') {
        return m_directory + name;
    }
    return m_directory + "/" + name;
}

std::string CXMLSettingsAPI::LastError() {
    CAutoLock hold(m_errorLock);
    return m_lastError;
}

void CXMLSettingsAPI::SetError(const std::string& text) {
    CAutoLock hold(m_errorLock);
    m_lastError = text;
}

int32_t CXMLSettingsAPI::Open(const char* fileName) {
    CAutoLock hold(m_openLock);
    if (m_openCount > 0) {
        ++m_openCount;
        return 0;
    }
    if (fileName == nullptr || *fileName == '\0') {
        SetError("no file name");
        return kOpenFailed;
    }
    std::string path = FilePath(fileName);
    presets::RemoveStaleTemporaries(path);

    // Only a missing file counts as missing; a file that is there but cannot be read is
    // refused, so that nobody replaces it with an empty one.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        int cause = errno;
        SetError("cannot reach \"" + path + "\": " + presets::ErrorText(cause));
        return cause == ENOENT ? kOpenFailed : kOpenRefused;
    }
    std::string raw;
    {
        CSolviFileBase file;
        if (!S_ISREG(st.st_mode) || !file.OpenForRead(path.c_str())) {
            SetError(S_ISREG(st.st_mode) && file.Error() != EINVAL
                         ? "cannot read \"" + path + "\": " + presets::ErrorText(file.Error())
                         : "\"" + path + "\" is not a regular file");
            return kOpenRefused;
        }
        if (!file.ReadAll(raw)) {
            SetError("cannot read \"" + path + "\": " + presets::ErrorText(file.Error()));
            return kOpenRefused;
        }
    }
    if (raw.empty()) {
        SetError("\"" + path + "\" is empty");
        return kOpenFailed;
    }

    auto document = std::make_unique<Document>();
    std::string error;
    const int32_t status = LoadDocument(raw, document->doc, document->form, error);
    if (status != 0) {
        SetError("\"" + path + "\" " + error);
        return status;
    }

    CAutoLock domHold(m_domLock);
    m_filePath = path;
    m_document = std::move(document);
    m_openCount = 1;
    return 0;
}

int32_t CXMLSettingsAPI::Close() {
    CAutoLock hold(m_openLock);
    if (m_openCount > 0 && --m_openCount == 0) {
        CAutoLock domHold(m_domLock);
        m_document.reset();
    }
    return m_openCount;
}

int32_t CXMLSettingsAPI::OpenCount() {
    CAutoLock hold(m_openLock);
    return m_openCount;
}

bool CXMLSettingsAPI::Save() {
    CAutoLock hold(m_domLock);
    if (!m_document) {
        SetError("no document is open");
        return false;
    }
    std::string bytes;
    if (!Serialize(m_document->doc, m_document->form, bytes)) {
        SetError("the document cannot be written in the encoding \"" + m_document->form.charset +
                 "\" of \"" + m_filePath + "\"");
        return false;
    }
    if (!ReadsBack(bytes)) {
        SetError("the document would not read back as written to \"" + m_filePath + "\"");
        return false;
    }
    std::string error;
    if (!presets::SaveFileContent(m_filePath, bytes, error)) {
        SetError(error);
        return false;
    }
    return true;
}

int32_t CXMLSettingsAPI::CreateDocumentFile(const char* rootName, const char* fileName,
                                            bool /*initCom*/) {
    if (rootName == nullptr || !IsValidName(rootName) || fileName == nullptr || *fileName == '\0') {
        SetError("no usable root element name or file name");
        return 0;
    }
    pugi::xml_document doc;
    pugi::xml_node pi = doc.append_child(pugi::node_pi);
    pi.set_name("xml");
    pi.set_value("version='1.0' encoding='utf-8'");
    doc.append_child(rootName);
    std::string bytes;
    std::string error;
    if (!Serialize(doc, DocumentForm{}, bytes) ||
        !presets::SaveFileContent(FilePath(fileName), bytes, error)) {
        SetError(error);
        return 0;
    }
    return 1;
}

pugi::xml_node CXMLSettingsAPI::FindElement(const std::string& path) {
    if (!m_document || !IsElementPath(path)) {
        return {};
    }
    // The XPath location path gives the first element in document order that matches every
    // step, also where an earlier element of the same name has no match below it.
    try {
        pugi::xml_node node = m_document->doc.select_node(path.c_str()).node();
        return node.type() == pugi::node_element ? node : pugi::xml_node();
    } catch (...) {
        return {};  // a failing lookup finds nothing
    }
}

void CXMLSettingsAPI::ReadValue(std::wstring& value, const wchar_t* pathFormat, ...) {
    va_list args;
    va_start(args, pathFormat);
    std::string path = FormatPath(pathFormat, args);
    va_end(args);
    value.clear();
    CAutoLock hold(m_domLock);
    pugi::xml_node node = FindElement(path);
    if (node) {
        value = GetAttribute(node, L"value");
    }
}

int32_t CXMLSettingsAPI::WriteValue(const wchar_t* value, const wchar_t* pathFormat, ...) {
    va_list args;
    va_start(args, pathFormat);
    std::string path = FormatPath(pathFormat, args);
    va_end(args);
    return WriteValueUtf8(value, path);
}

int32_t CXMLSettingsAPI::WriteValueUtf8(const wchar_t* value, const std::string& path) {
    CAutoLock hold(m_domLock);
    if (!m_document || path.empty()) {
        return 0;
    }
    pugi::xml_node node = FindOrCreateElement(path);
    if (!node) {
        return 0;
    }
    const wchar_t* text = value != nullptr ? value : L"";
    bool ok = GetAttribute(node, L"value").empty() ? AddAttribute(node, L"value", text)
                                                   : SetAttribute(node, L"value", text);
    return ok ? 1 : 0;
}

int32_t CXMLSettingsAPI::NodeExists(const char* pathFormat, ...) {
    va_list args;
    va_start(args, pathFormat);
    std::string path = FormatPath(pathFormat, args);
    va_end(args);
    CAutoLock hold(m_domLock);
    return FindElement(path) ? 1 : 0;
}

int32_t CXMLSettingsAPI::RemoveNode(const char* pathFormat, ...) {
    va_list args;
    va_start(args, pathFormat);
    std::string path = FormatPath(pathFormat, args);
    va_end(args);
    CAutoLock hold(m_domLock);
    pugi::xml_node node = FindElement(path);
    // The root element stays: a document without one could not be loaded again.
    if (!node || node.parent().type() == pugi::node_document) {
        return 0;
    }
    return node.parent().remove_child(node) ? 1 : 0;
}

int32_t CXMLSettingsAPI::CreatePath(const wchar_t* pathFormat, ...) {
    va_list args;
    va_start(args, pathFormat);
    std::string path = FormatPath(pathFormat, args);
    va_end(args);
    return CreatePathUtf8(path);
}

pugi::xml_node CXMLSettingsAPI::FindOrCreateElement(const std::string& path) {
    pugi::xml_node node = FindElement(path);
    if (!node && CreatePathUtf8(path) == 1) {
        node = FindElement(path);
    }
    return node;
}

int32_t CXMLSettingsAPI::CreatePathUtf8(const std::string& path) {
    CAutoLock hold(m_domLock);
    if (!m_document || path.empty()) {
        return 0;
    }
    if (FindElement(path)) {
        return 1;
    }
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        // The document has its root element already and takes no second one.
        return 0;
    }
    std::string parentPath = path.substr(0, slash);
    std::string name = path.substr(slash + 1);
    if (!IsValidName(name)) {
        return 0;
    }
    pugi::xml_node parent = FindOrCreateElement(parentPath);
    if (!parent) {
        return 0;
    }
    // Nodes from the parent up to the document node, both included.
    size_t depth = 0;
    for (pugi::xml_node node = parent; node; node = node.parent()) {
        ++depth;
    }
    std::string indent(depth - 2, '\t');
    pugi::xml_node before = parent.append_child(pugi::node_pcdata);
    pugi::xml_node element = parent.append_child(name.c_str());
    pugi::xml_node inside = element.append_child(pugi::node_pcdata);
    pugi::xml_node after = parent.append_child(pugi::node_pcdata);
    if (!before || !element || !inside || !after) {
        return 0;
    }
    before.set_value(indent.c_str());
    inside.set_value(("\n" + indent + "\t").c_str());
    after.set_value(("\n" + indent).c_str());
    return 1;
}

std::wstring CXMLSettingsAPI::GetAttribute(pugi::xml_node node, const wchar_t* name) {
    CAutoLock hold(m_domLock);
    std::string key = ToUtf8(name);
    if (!node || key.empty()) {
        return {};
    }
    return ToWide(node.attribute(key.c_str()).value());
}

bool CXMLSettingsAPI::AddAttribute(pugi::xml_node node, const wchar_t* name, const wchar_t* value) {
    CAutoLock hold(m_domLock);
    std::string key = ToUtf8(name);
    if (!node || node.type() != pugi::node_element || !IsValidName(key)) {
        return false;
    }
    pugi::xml_attribute attribute = node.attribute(key.c_str());
    if (!attribute) {
        attribute = node.append_attribute(key.c_str());
    }
    return attribute && attribute.set_value(ToUtf8(value).c_str());
}

bool CXMLSettingsAPI::SetAttribute(pugi::xml_node node, const wchar_t* name, const wchar_t* value) {
    CAutoLock hold(m_domLock);
    std::string key = ToUtf8(name);
    if (!node || key.empty()) {
        return false;
    }
    pugi::xml_attribute attribute = node.attribute(key.c_str());
    return attribute && attribute.set_value(ToUtf8(value).c_str());
}

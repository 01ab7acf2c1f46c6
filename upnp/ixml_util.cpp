#include "upnp/ixml_util.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <string>

namespace tovaly {

const char* ArgumentText(IXML_Document* request, const char* name) {
  if (!request) return nullptr;
  IXML_Node* action = ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(request));
  if (!action || ixmlNode_getNodeType(action) != eELEMENT_NODE) return nullptr;
  return DescendantText(action, name);
}

const char* DescendantText(IXML_Node* node, const char* name) {
  if (!node || !name) return nullptr;
  IxmlNodeList list(ixmlNode_getNodeType(node) == eDOCUMENT_NODE
                        ? ixmlDocument_getElementsByTagName(reinterpret_cast<IXML_Document*>(node), name)
                        : ixmlElement_getElementsByTagName(reinterpret_cast<IXML_Element*>(node), name));
  IXML_Node* element = list ? ixmlNodeList_item(list.get(), 0) : nullptr;
  IXML_Node* text = element ? ixmlNode_getFirstChild(element) : nullptr;
  return text ? ixmlNode_getNodeValue(text) : nullptr;
}

IXML_Element* AppendTextElement(IXML_Document* doc, IXML_Node* parent, const char* name, const char* text) {
  IXML_Element* element = ixmlDocument_createElement(doc, name);
  if (!element) return nullptr;
  if (text) {
    IXML_Node* t = ixmlDocument_createTextNode(doc, text);
    if (t) ixmlNode_appendChild(reinterpret_cast<IXML_Node*>(element), t);
  }
  ixmlNode_appendChild(parent, reinterpret_cast<IXML_Node*>(element));
  return element;
}

bool WithinXmlLimits(const char* text, size_t maxDepth, size_t maxElements, size_t maxRun) {
  if (!text) return false;
  size_t depth = 0, elements = 0;
  const char* runStart = text;
  const char* p = text;
  for (; *p; ++p) {
    if (*p == '>') {
      runStart = p + 1;
      continue;
    }
    if (*p != '<') {
      if (static_cast<size_t>(p - runStart) + 1 >= maxRun) return false;  // runs of maxRun and more
      continue;
    }
    runStart = p + 1;
    const char next = p[1];
    if (next == '/') {
      if (depth) --depth;
      continue;
    }
    if (next == '?' || next == '!') continue;
    if (++elements > maxElements) return false;
    // Self-closing elements add no depth.
    const char* close = strchr(p, '>');
    if (!close) return false;
    if (close[-1] != '/' && ++depth > maxDepth) return false;
    p = close;
    runStart = close + 1;
  }
  return FitsXmlParser(text);
}

bool FitsXmlParser(const char* text) {
  // The parser reads past the end of its copy of the text when a multi-byte
  // character is cut short (it trusts the first byte) or a character
  // reference runs into the end. It refuses such a text anyway: text that is
  // not UTF-8, or that does not end with a tag, never reaches it.
  const size_t n = strlen(text);
  const char* end = text + n;
  while (end > text && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) --end;
  return end > text && end[-1] == '>' && IsValidUtf8(std::string(text, n));
}

}  // namespace tovaly

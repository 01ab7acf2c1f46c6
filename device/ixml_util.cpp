#include "device/ixml_util.h"

#include <cctype>
#include <climits>

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

bool ParseUi4(const char* text, uint32_t* value) {
  *value = 0;
  if (!text) return true;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (blank(*text)) ++text;
  uint64_t v = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    v = v * 10 + static_cast<uint64_t>(*text - '0');
    if (v > UINT32_MAX) return false;
  }
  while (blank(*text)) ++text;
  if (*text != '\0') return false;  // blank text is 0, as a missing argument is
  *value = static_cast<uint32_t>(v);
  return true;
}

int32_t ParseDecimal(const char* text) {
  if (!text) return 0;
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace tovaly

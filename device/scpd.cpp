#include "device/service_table.h"
#include "upnp/ixml_util.h"

namespace tovaly {

int32_t InternalError(const char** errorText) {
  *errorText = "Internal Error";
  return -911;
}

std::string BuildScpd(const ServiceTable& table) {
  IxmlDocument doc(ixmlParseBuffer("<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\"></scpd>"));
  if (!doc) return std::string();
  IXML_Document* d = doc.get();
  IXML_Node* scpd = ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(d));

  IXML_Node* version = reinterpret_cast<IXML_Node*>(AppendTextElement(d, scpd, "specVersion", nullptr));
  AppendTextElement(d, version, "major", "1");
  AppendTextElement(d, version, "minor", "0");

  IXML_Node* actionList = reinterpret_cast<IXML_Node*>(AppendTextElement(d, scpd, "actionList", nullptr));
  for (const ActionEntry& action : table.actions) {
    IXML_Node* a = reinterpret_cast<IXML_Node*>(AppendTextElement(d, actionList, "action", nullptr));
    AppendTextElement(d, a, "name", action.name);
    if (action.arguments.empty()) continue;
    IXML_Node* args = reinterpret_cast<IXML_Node*>(AppendTextElement(d, a, "argumentList", nullptr));
    for (const ArgumentEntry& arg : action.arguments) {
      IXML_Node* ae = reinterpret_cast<IXML_Node*>(AppendTextElement(d, args, "argument", nullptr));
      AppendTextElement(d, ae, "name", arg.name);
      AppendTextElement(d, ae, "direction", arg.out ? "out" : "in");
      AppendTextElement(d, ae, "relatedStateVariable", arg.relatedStateVariable);
    }
  }

  IXML_Node* stateTable = reinterpret_cast<IXML_Node*>(AppendTextElement(d, scpd, "serviceStateTable", nullptr));
  for (const StateVariableEntry& var : table.variables) {
    IXML_Element* v = AppendTextElement(d, stateTable, "stateVariable", nullptr);
    ixmlElement_setAttribute(v, "sendEvents", var.evented ? "yes" : "no");
    IXML_Node* vn = reinterpret_cast<IXML_Node*>(v);
    AppendTextElement(d, vn, "name", var.name);
    AppendTextElement(d, vn, "dataType", var.dataType);
    if (!var.allowedValues.empty()) {
      IXML_Node* list = reinterpret_cast<IXML_Node*>(AppendTextElement(d, vn, "allowedValueList", nullptr));
      for (const char* value : var.allowedValues) AppendTextElement(d, list, "allowedValue", value);
    }
  }

  IxmlString text(ixmlDocumenttoString(d));
  return text ? std::string(text.get()) : std::string();
}

}  // namespace tovaly

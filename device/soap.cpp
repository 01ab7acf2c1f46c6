#include "device/soap.h"

#include <expat.h>

#include <cstring>

#include "core/text.h"
#include "upnp/ixml_util.h"

namespace tovaly {
namespace {

const char kEnvelopeNs[] = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr char kSeparator = '\x01';  // between a namespace and a local name

// Where the parser is: levels 1 Envelope, 2 Body, 3 the action, 4 an argument.
struct Reader {
  XML_Parser parser;
  SoapRequest* out;
  size_t depth = 0;
  bool inBody = false;      // level 2 is the SOAP Body
  bool haveAction = false;  // the first element of the Body was seen
  bool inAction = false;
  bool inArgument = false;
  bool refused = false;  // a DOCTYPE or an entity declaration
  SoapError error = SoapError::kNone;

  void Stop(SoapError e) {
    error = e;
    XML_StopParser(parser, XML_FALSE);
  }
};

// "namespace\x01local" or "local" into its two parts.
void SplitName(const char* name, std::string* ns, std::string* local) {
  const char* sep = strchr(name, kSeparator);
  if (sep) {
    ns->assign(name, static_cast<size_t>(sep - name));
    local->assign(sep + 1);
  } else {
    ns->clear();
    local->assign(name);
  }
}

void XMLCALL Start(void* data, const char* name, const char**) {
  auto* r = static_cast<Reader*>(data);
  if (++r->depth > kMaxSoapDepth) return r->Stop(SoapError::kMalformed);
  std::string ns, local;
  SplitName(name, &ns, &local);
  switch (r->depth) {
    case 1:
      if (ns != kEnvelopeNs || local != "Envelope") r->Stop(SoapError::kNotSoap);
      break;
    case 2: r->inBody = ns == kEnvelopeNs && local == "Body"; break;
    case 3:
      if (r->inBody && !r->haveAction) {
        r->haveAction = r->inAction = true;
        r->out->serviceType = ns;
        r->out->action = local;
      }
      break;
    case 4:
      if (r->inAction) {
        r->inArgument = true;
        r->out->arguments.emplace_back(local, std::string());
      }
      break;
    default: break;  // deeper: not an argument's text
  }
}

void XMLCALL End(void* data, const char*) {
  auto* r = static_cast<Reader*>(data);
  if (r->depth == 4) r->inArgument = false;
  if (r->depth == 3) r->inAction = false;
  if (r->depth == 2) r->inBody = false;
  --r->depth;
}

void XMLCALL Text(void* data, const char* s, int len) {
  auto* r = static_cast<Reader*>(data);
  if (r->inArgument && r->depth == 4) r->out->arguments.back().second.append(s, static_cast<size_t>(len));
}

// SOAP has no document type: a DOCTYPE (and with it every entity) is refused.
void XMLCALL Doctype(void* data, const char*, const char*, const char*, int) {
  static_cast<Reader*>(data)->Stop(SoapError::kMalformed);
}

void AppendElement(std::string* out, const char* name, const std::string& text) {
  *out += '<';
  *out += name;
  *out += '>';
  AppendXmlEscaped(text, out);
  *out += "</";
  *out += name;
  *out += '>';
}

const char kHead[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>";
const char kTail[] = "</s:Body></s:Envelope>\r\n";

}  // namespace

const char* SoapRequest::Argument(const char* name) const {
  for (const auto& a : arguments) {
    if (a.first == name) return a.second.empty() ? nullptr : a.second.c_str();
  }
  return nullptr;
}

SoapError ReadSoapRequest(const std::string& body, SoapRequest* out, size_t maxBytes) {
  *out = SoapRequest();
  if (body.size() > maxBytes) return SoapError::kTooLarge;
  // Measured before the parser sees it: UTF-8, ends with a tag, not deeper
  // than a request can be, no run of text longer than the body allows.
  if (!WithinXmlLimits(body.c_str(), kMaxSoapDepth, 1000, maxBytes) || body.size() != strlen(body.c_str())) {
    return SoapError::kMalformed;
  }
  // The encoding is fixed: a declaration that names another is ignored.
  XML_Parser parser = XML_ParserCreateNS("UTF-8", kSeparator);
  if (!parser) return SoapError::kMalformed;
  Reader reader{parser, out};
  XML_SetUserData(parser, &reader);
  XML_SetElementHandler(parser, &Start, &End);
  XML_SetCharacterDataHandler(parser, &Text);
  XML_SetStartDoctypeDeclHandler(parser, &Doctype);
  const XML_Status status = XML_Parse(parser, body.data(), static_cast<int>(body.size()), XML_TRUE);  // size: bounded above
  XML_ParserFree(parser);
  if (reader.error != SoapError::kNone) return reader.error;
  if (status != XML_STATUS_OK) return SoapError::kMalformed;
  if (!reader.haveAction || out->action.empty()) return SoapError::kNotSoap;
  return SoapError::kNone;
}

std::string WriteSoapResponse(const char* serviceType, const std::string& action, const SoapOutputs& outputs) {
  size_t size = sizeof kHead + sizeof kTail + 2 * action.size() + 64;
  for (const auto& o : outputs) size += 2 * strlen(o.first) + o.second.size() + o.second.size() / 8 + 8;
  std::string out;
  out.reserve(size);
  out += kHead;
  out += "<u:";
  out += action;
  out += "Response xmlns:u=\"";
  AppendXmlEscaped(serviceType, &out);
  out += "\">";
  for (const auto& o : outputs) AppendElement(&out, o.first, o.second);
  out += "</u:";
  out += action;
  out += "Response>";
  out += kTail;
  return out;
}

std::string WriteSoapFault(int code, const std::string& description) {
  std::string out = kHead;
  out +=
      "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
      "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">";
  AppendElement(&out, "errorCode", std::to_string(code));
  AppendElement(&out, "errorDescription", description);
  out += "</UPnPError></detail></s:Fault>";
  out += kTail;
  return out;
}

}  // namespace tovaly

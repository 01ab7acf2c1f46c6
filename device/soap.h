#pragma once
// SOAP on the local device's control URLs. A request is read by a bounded,
// non-recursive parser (expat), after its size, its encoding and its depth
// were measured; an answer is written as text into one buffer.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace tovaly {

// What a control request asks: the action element's namespace and name, and
// its arguments (its child elements' texts) in their order.
struct SoapRequest {
  std::string serviceType;
  std::string action;
  std::vector<std::pair<std::string, std::string>> arguments;
  // The text of the first argument of this name; null when there is none or
  // it is empty (an element without text says nothing).
  const char* Argument(const char* name) const;
};

// A request body of more is refused before it is read (413).
constexpr size_t kMaxSoapBytes = 64 * 1024;
// Envelope, Body, action, argument: four levels; room for a few more in a
// SOAP Header, none for a document built to be deep.
constexpr size_t kMaxSoapDepth = 12;

enum class SoapError {
  kNone,
  kTooLarge,   // more than kMaxSoapBytes
  kMalformed,  // not UTF-8, too deep, not well-formed XML, a DOCTYPE
  kNotSoap,    // no Envelope, no Body or no action element in it
};
// `maxBytes` is for reading answers (a client's view, in tests).
SoapError ReadSoapRequest(const std::string& body, SoapRequest* out, size_t maxBytes = kMaxSoapBytes);

// OUT arguments in the order the action declares them.
using SoapOutputs = std::vector<std::pair<const char*, std::string>>;

// The whole answer of an action: u:<action>Response in the service's
// namespace with each argument's text escaped.
std::string WriteSoapResponse(const char* serviceType, const std::string& action, const SoapOutputs& outputs);
// A UPnP error: sent with HTTP status 500.
std::string WriteSoapFault(int code, const std::string& description);

}  // namespace tovaly

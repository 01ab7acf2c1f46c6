// A control request's body as a client may send it.
//
// Checked: the reader refuses what is larger than its limit, not UTF-8, or
// deeper than a request can be; what it reads back, written as an answer,
// reads back the same (every value escaped, whatever it holds).

#include <cstdint>
#include <string>

#include "core/text.h"
#include "device/soap.h"
#include "fuzz_common.h"

namespace tovaly::fuzz {

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body = Bytes(data, size);
  SoapRequest request;
  const SoapError error = ReadSoapRequest(body, &request);
  if (body.size() > kMaxSoapBytes) FUZZ_CHECK(error == SoapError::kTooLarge);
  if (!IsValidUtf8(body)) FUZZ_CHECK(error != SoapError::kNone);
  if (error != SoapError::kNone) return 0;
  FUZZ_CHECK(!request.action.empty());

  // Names go back as they came (they are XML names already); values are
  // escaped on the way.
  SoapOutputs outputs;
  for (const auto& a : request.arguments) outputs.emplace_back(a.first.c_str(), a.second);
  const std::string answer = WriteSoapResponse(request.serviceType.c_str(), request.action, outputs);
  SoapRequest again;
  FUZZ_CHECK(ReadSoapRequest(answer, &again, 1 << 20) == SoapError::kNone);
  FUZZ_CHECK(again.action == request.action + "Response");
  FUZZ_CHECK(again.arguments.size() == request.arguments.size());
  for (size_t i = 0; i < again.arguments.size(); ++i) {
    FUZZ_CHECK(again.arguments[i].second == request.arguments[i].second);
  }
  return 0;
}

}  // namespace tovaly::fuzz

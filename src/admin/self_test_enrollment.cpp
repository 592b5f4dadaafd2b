// Self-test group for enrollment codes: normalisation, and one code shared through the files by
// two stores, as the service and the command line share it.
#include "admin/self_test.h"
#include "admin/self_test_support.h"
#include "core/crypto.h"
#include "core/encoding.h"
#include "core/time.h"
#include "gate/gate_store.h"
#include "os/files.h"
#include "os/paths.h"

namespace vel::admin {

using gate::AddCredentialResult;
using gate::Credential;
using gate::GateStore;
using gate::kEnrollmentCodeAlphabet;
using gate::NormalizeEnrollmentCode;

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The same code with its first character swapped for another of the alphabet.
std::string wrongCode(std::string code) {
    code[0] = code[0] == kEnrollmentCodeAlphabet[0] ? kEnrollmentCodeAlphabet[1]
                                                    : kEnrollmentCodeAlphabet[0];
    return code;
}

}  // namespace

void SelfTestEnrollmentCode(SelfTest& test, const std::string& workDirectory) {
    test.group("Enrollment code");
    test.check(NormalizeEnrollmentCode("abcd-efgh jkmn") == "ABCDEFGHJKMN",
               "the code is normalized (case, separators)");
    test.check(NormalizeEnrollmentCode("").empty(), "an empty code stays empty");

    const ScratchFolder folder(JoinPath(workDirectory, "selftest-code"));
    const std::string path = JoinPath(folder.path(), "gate.json");
    // A gate id of its own keeps the store from assigning (and logging) one.
    static_cast<void>(WriteFileAtomic(path, R"({"version":1,"config":{"gateId":")" +
                                                HexEncode(RandomBytes(16)) +
                                                R"("},"credentials":[]})"));

    GateStore service;
    std::string error;
    test.check(service.load(path, error), "the service loaded the store");
    test.check(!service.enrollmentOpen(), "no code exists yet");
    GateStore commandLine;
    test.check(commandLine.load(path, error), "the command line loaded the store");
    const std::string code = commandLine.issueEnrollmentCode(900, error);
    test.check(!code.empty(), "a code is issued");
    test.check(service.enrollmentOpen(), "the service sees a code issued after it started");
    test.check(!code.empty() && service.checkEnrollmentCode(code),
               "the service sees the code is active");
    test.check(!code.empty() && !service.checkEnrollmentCode(wrongCode(code)),
               "a wrong code is rejected");
    test.check(!code.empty() && service.checkEnrollmentCode(lowerCase(code)),
               "the code is accepted in lower case");

    TestKeyPair pair;
    Credential credential;
    credential.id = Base64UrlEncode(RandomBytes(16));
    credential.label = "selftest";
    credential.createdAt = UnixNow();
    const bool haveKey = MakeP256TestKey(pair);
    if (haveKey) credential.publicKey = CoseKeyOf(pair);
    test.check(haveKey && service.addCredential(credential, error) == AddCredentialResult::Added,
               "the service wrote a key to gate.json");
    test.check(service.recordUse(credential.id, 1), "the service recorded a key use");
    test.check(
        !code.empty() && service.checkEnrollmentCode(code) && commandLine.checkEnrollmentCode(code),
        "the code SURVIVED the service rewriting gate.json");
    test.check(!code.empty() && service.consumeEnrollmentCode(code), "the code is consumed");
    test.check(!service.consumeEnrollmentCode(code), "the same code is not accepted twice");
    test.check(!service.enrollmentOpen(), "no code is active after consumption");
    test.check(!commandLine.enrollmentOpen() && !commandLine.checkEnrollmentCode(code),
               "consumption is visible to the other process too");
    const std::string expired = commandLine.issueEnrollmentCode(-1, error);
    test.check(!expired.empty(), "an already-expired code is issued");
    test.check(!expired.empty() && !service.checkEnrollmentCode(expired),
               "an expired code is rejected");
}

}  // namespace vel::admin

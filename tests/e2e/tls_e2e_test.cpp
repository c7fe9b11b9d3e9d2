// Phones that speak to the directory server only through TLS: registration,
// login, keep-alives and the look-up of a call, against a server whose TLS
// port is the only one the phones know; and a phone whose pinned fingerprint
// is not the server's, which is told so and never registers.
#include <gtest/gtest.h>

#include <QThread>

#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"
#include "support/proxy_fixtures.h"
#include "support/test_certs.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

constexpr int kTlsPinMismatch = 193;

TEST(TlsToServer, PhonesRegisterStayOnlineAndCallOverTls) {
    kestrona::testing::TempDir dir;
    const test::TestCertificates certs(dir.path().string());
    const int tlsPort = test::FreeLoopbackPort();
    // Sessions end six seconds after the last keep-alive (phones send one a
    // second; six leaves room for a slow sanitizer build on a busy machine):
    // a phone whose keep-alives did not get through would be offline by the
    // call.
    ServerProcess server(
        dir.path(), {},
        {QStringLiteral("--tls-port"), QString::number(tlsPort), QStringLiteral("--tls-cert"),
         QString::fromStdString(certs.good.certificate), QStringLiteral("--tls-key"),
         QString::fromStdString(certs.good.key), QStringLiteral("--session-timeout"),
         QStringLiteral("6")});
    ASSERT_TRUE(server.Start()) << server.Log();
    const auto speech = SourceDir() / "tests" / "data" / "speech_8k.wav";

    auto makePhone = [&](const std::string& name, const std::string& pin) {
        auto phone = std::make_unique<Phone>(
            dir.path() / name, tlsPort, speech,
            std::map<std::string, std::string>{{"HostTls", "1"}, {"HostTlsPin", pin}});
        phone->SetEnvironment(QStringLiteral("KESTRONA_TLS_CA_FILE"),
                              QString::fromStdString(certs.authority.certificate));
        return phone;
    };
    auto a = makePhone("alice", "");
    auto b = makePhone("bob", certs.good_pin);
    ASSERT_TRUE(a->Register("alice")) << a->Output() << server.Log();
    ASSERT_TRUE(b->Register("bob")) << b->Output() << server.Log();

    // Past the session time-out: only keep-alives keep the callee findable.
    QThread::sleep(8);
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << server.Log();
    ASSERT_EQ(b->Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(2)) << a->Output() << b->Output() << server.Log();
    ASSERT_EQ(a->Rpc({QStringLiteral("hangup")}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(0));
    ASSERT_TRUE(WaitUntil([&] { return server.Reports().size() >= 2; }, 10000));

    // Another certificate's fingerprint: the phone says so and nothing is
    // registered.
    auto c = makePhone("carol", certs.self_signed_pin);
    EXPECT_FALSE(c->Register("carol"));
    c->Kill();
    EXPECT_TRUE(HasMessage(*c, kTlsPinMismatch)) << c->Output();
    EXPECT_EQ(c->Setting("ID"), "");
}

}  // namespace

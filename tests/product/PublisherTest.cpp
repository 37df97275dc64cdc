// Setup's publisher: the package's setup.exe starts only when WinVerifyTrust
// accepts it and its signer is the signer of the program that runs it. The
// test setups are signed by the fixture's throw-away certificates; the
// program is stood in for by a file signed the same way (this test program
// itself is unsigned, as a developer build is).

#include "base/PageCodes.h"
#include "product/SetupPublisher.h"
#include "tests/common/TestUtil.h"
#include "tests/product/PageHarness.h"
#include "tests/product/ProductFixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace producttest;

namespace {

const long kUnsigned = static_cast<long>(0x800B0100UL);    // TRUST_E_NOSIGNATURE
const long kBadDigest = static_cast<long>(0x80096010UL);   // TRUST_E_BAD_DIGEST
const long kOtherSigner = static_cast<long>(0x800B0004UL); // TRUST_E_SUBJECT_NOT_TRUSTED

TEST(SetupPublisher, TheRuleAsATable) {
    using tlw::PublisherVerdict;
    const wchar_t* const vendor = L"CN=Vendor";
    const struct {
        const char* what;
        long programTrust;
        const wchar_t* programSubject;
        long setupTrust;
        const wchar_t* setupSubject;
        PublisherVerdict verdict;
    } cases[] = {
        {"same signer", S_OK, vendor, S_OK, vendor, PublisherVerdict::Run},
        {"program unsigned: skipped", kUnsigned, L"", kUnsigned, L"",
         PublisherVerdict::RunUnsignedProgram},
        {"program unsigned, setup of anyone", kUnsigned, L"", S_OK, L"CN=Other",
         PublisherVerdict::RunUnsignedProgram},
        {"setup unsigned", S_OK, vendor, kUnsigned, L"", PublisherVerdict::Refuse},
        {"setup changed after signing", S_OK, vendor, kBadDigest, vendor, PublisherVerdict::Refuse},
        {"another signer", S_OK, vendor, S_OK, L"CN=Other", PublisherVerdict::Refuse},
        {"a subject that only begins alike", S_OK, vendor, S_OK, L"CN=Vendor, O=Other",
         PublisherVerdict::Refuse},
        {"setup's signer unreadable", S_OK, vendor, S_OK, L"", PublisherVerdict::Refuse},
        // A program whose own signer cannot be read has nothing to compare with.
        {"program's signer unreadable", S_OK, L"", S_OK, L"", PublisherVerdict::Refuse},
        {"program signature broken, same subject", kBadDigest, vendor, S_OK, vendor,
         PublisherVerdict::Run},
    };
    for (const auto& c : cases) {
        tlw::SignatureFacts program, setup;
        program.trust = c.programTrust;
        program.subject = c.programSubject;
        setup.trust = c.setupTrust;
        setup.subject = c.setupSubject;
        EXPECT_EQ(c.verdict, tlw::DecideSetupPublisher(program, setup)) << c.what;
    }
    tlw::SignatureFacts changed, other;
    changed.trust = kBadDigest;
    changed.subject = vendor;
    other.trust = S_OK;
    other.subject = L"CN=Other";
    EXPECT_EQ(kBadDigest, tlw::PublisherRefusalCode(changed));
    EXPECT_EQ(kOtherSigner, tlw::PublisherRefusalCode(other));
}

// What WinVerifyTrust and the signature reader say of the fixture's files.
TEST(SetupPublisher, SignaturesOfTheTestSetups) {
    const tlw::SignatureFacts same =
        tlw::ReadSignature(FixturePath(L"publisher\\same.exe"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(S_OK, same.trust) << std::hex << same.trust;
    EXPECT_EQ(L"CN=Brightcast Test Signer", same.subject);
    const tlw::SignatureFacts other =
        tlw::ReadSignature(FixturePath(L"publisher\\other.exe"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(S_OK, other.trust) << std::hex << other.trust;
    EXPECT_EQ(L"CN=Someone Else", other.subject);
    EXPECT_EQ(
        kBadDigest,
        tlw::ReadSignature(FixturePath(L"publisher\\changed.exe"), INVALID_HANDLE_VALUE).trust);
    const tlw::SignatureFacts none =
        tlw::ReadSignature(FixturePath(L"publisher\\unsigned.exe"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(kUnsigned, none.trust) << std::hex << none.trust;
    EXPECT_TRUE(none.subject.empty());
}

class Publisher : public testing::Test {
protected:
    void SetUp() override {
        controller = new TestController(&records.context, &records.reportSender, &records.log);
    }
    void TearDown() override {
        EXPECT_TRUE(PumpUntil([this] { return controller->References() == 1; }, 30000));
        EXPECT_EQ(0u, controller->Release());
    }

    // The setup `name` of the fixture as the unzipped package's setup.exe,
    // told to end at once with exit code 0 (after writing its log).
    void Unzipped(const std::wstring& name) {
        const std::wstring folder = controller->DownloadFolder();
        ASSERT_TRUE(CopyFileW(FixturePath(L"publisher\\" + name).c_str(),
                              (folder + L"setup.exe").c_str(), FALSE));
        ASSERT_TRUE(
            testutil::WriteFileBytes(folder + L"testsetup.ini", "mode=instead\r\nexit=0\r\n"));
    }
    // The test setup writes its log (the /l* path) first thing when it runs.
    bool SetupRan() { return testutil::FileExists(controller->DownloadFolder() + L"log.txt"); }

    RunRecords records;
    TestController* controller = nullptr;
};

TEST_F(Publisher, ASetupOfTheProgramsOwnSignerRuns) {
    controller->Steps().referenceProgram = FixturePath(L"publisher\\same.exe");
    Unzipped(L"same.exe");
    EXPECT_EQ(InstallOk, controller->InstallPackage(L"", L""));
    EXPECT_TRUE(SetupRan());
    EXPECT_EQ(FailureStageNone, records.FailureStage());
    EXPECT_TRUE(Contains(records.LogText(),
                         "setup is signed by this program's signer, CN=Brightcast Test Signer"))
        << Quoted(records.LogText());
}

TEST_F(Publisher, AnotherSignerAChangedByteOrNoSignatureIsRefusedWithNothingStarted) {
    const struct {
        const wchar_t* setup;
        long code;
    } cases[] = {
        {L"other.exe", kOtherSigner},
        {L"changed.exe", kBadDigest},
        {L"unsigned.exe", kUnsigned},
    };
    for (const auto& c : cases) {
        RunRecords run;
        TestController* steps = new TestController(&run.context, &run.reportSender, &run.log);
        steps->Steps().referenceProgram = FixturePath(L"publisher\\same.exe");
        const std::wstring folder = steps->DownloadFolder();
        ASSERT_TRUE(CopyFileW(FixturePath(std::wstring(L"publisher\\") + c.setup).c_str(),
                              (folder + L"setup.exe").c_str(), FALSE));
        ASSERT_TRUE(testutil::WriteFileBytes(folder + L"testsetup.ini", "mode=instead\r\n"));
        const size_t attachments = run.reportSender.attachments.size();

        // As a setup that cannot start: page code 3, stage 6.
        EXPECT_EQ(InstallSetupFailed, steps->InstallPackage(L"", L"")) << Narrow(c.setup);
        EXPECT_EQ(FailureStageSetupNotStarted, run.FailureStage()) << Narrow(c.setup);
        EXPECT_EQ(c.code, run.FailureCode()) << Narrow(c.setup) << std::hex << run.FailureCode();
        // Nothing started: no setup log, no "Install start", nothing attached.
        EXPECT_FALSE(testutil::FileExists(folder + L"log.txt")) << Narrow(c.setup);
        const std::string log = run.LogText();
        EXPECT_TRUE(Contains(log, "ERROR] Install: setup refused, not started")) << Quoted(log);
        EXPECT_FALSE(Contains(log, "Install start")) << Quoted(log);
        EXPECT_EQ(attachments, run.reportSender.attachments.size()) << Narrow(c.setup);
        EXPECT_TRUE(PumpUntil([&] { return steps->References() == 1; }, 30000));
        EXPECT_EQ(0u, steps->Release());
    }
}

// A developer build carries no signature: there is no signer to compare
// with, so any setup runs, and the log says the check was skipped.
TEST_F(Publisher, AnUnsignedProgramSkipsTheCheckWithALogLine) {
    controller->Steps().referenceProgram = FixturePath(L"publisher\\unsigned.exe");
    Unzipped(L"other.exe");
    EXPECT_EQ(InstallOk, controller->InstallPackage(L"", L""));
    EXPECT_TRUE(SetupRan());
    EXPECT_TRUE(Contains(records.LogText(), "this program is unsigned (a developer build); "
                                            "setup's publisher is not checked"))
        << Quoted(records.LogText());
}

} // namespace

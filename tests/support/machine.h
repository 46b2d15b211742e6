// Test support over the simulated Windows: a fixture that gives every test a
// fresh machine and checks afterwards that nothing was left open or
// unanswered, a standard machine for whole runs, and a way to point the
// program at a manifest of the test's own.
#ifndef KORVALUP_TEST_MACHINE_H
#define KORVALUP_TEST_MACHINE_H

#include "manifest.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The manifest the program reads until the next test starts.
void UseManifest(const UpdateManifest &manifest);

struct ExpectedBox {
    std::string text, caption;
    UINT style;
};
inline bool operator==(const ExpectedBox &e, const sim::Box &b)
{
    return !b.owner && e.text == b.text && e.caption == b.caption && e.style == b.style;
}
// Shows byte strings with their non-ASCII bytes in hex, so that a failure
// says which byte differs.
std::string Printable(const std::string &bytes);
void ExpectBoxes(const std::vector<ExpectedBox> &expected);

class MachineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A new empty machine, mid-test: code page 932, the shipped manifest.
    void FreshMachine();
    // C:, D:\Update\KRVLUP.EXE beside KRVLUP.TGP (its content given), the
    // registry value naming C:\Games, and C:\Games present.
    void StandardMachine(const std::string &package = "new package data");
    // WinMain as Windows would call it.
    int RunUpdater();
};

// The shipped texts, as the program must show them.
namespace texts {
extern const char *const caption;        // updateCaption
extern const char *const product;        // productDisplayName
extern const char *const versionHint;
std::string RunningGame();
std::string MissingPackage(const std::string &fileName);
std::string InstallInformation();
std::string ChooseFolder();
std::string ExeNotFound();
std::string Confirm(const std::string &folder);
std::string Done();
std::string CannotCreate(const std::string &path);
std::string FileInTheWay(const std::string &path);
std::string CannotOpen(const std::string &path);
std::string AccessFailed(const std::string &path);
std::string CannotCreateTemp(const std::string &path);
std::string ReadError(const std::string &path);
std::string WriteError(const std::string &path);
std::string ManualCopy(const std::string &target, const std::string &file, const std::string &folder);
} // namespace texts

const UINT MB_RUNNING_GAME = MB_ABORTRETRYIGNORE | MB_ICONWARNING | MB_DEFBUTTON2;
const UINT MB_CONFIRM = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
const UINT MB_ERROR_OK = MB_ICONERROR | MB_OK;
const UINT MB_RETRY_PROMPT = MB_RETRYCANCEL | MB_ICONWARNING;
const UINT MB_REPORT = MB_ICONINFORMATION | MB_OK;

#endif

// The registry file: its text format, the store's reads and locked writes.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/registry_file.h"
#include "platform/registry_store.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using testing::ReadFile;
using testing::TemporaryFolder;
using testing::WriteFile;

const char kCommonKey[] = "SOFTWARE\\Tarnwell Networks\\Common";

TEST(RegistryText, RoundTripsEscapesAndTypes) {
  RegistryTree tree;
  RegistryKey* key = tree.Create(RegistryRoot::kClassesRoot, "CLSID\\{A}\\InprocServer32");
  ASSERT_NE(nullptr, key);
  key->SetString("", "C:\\path with \"quotes\"\\lib.so");
  key->SetString("ThreadingModel", "Both");
  tree.Create(RegistryRoot::kLocalMachine, kCommonKey)->SetDword("ORBDottedDecimalAddresses", 0xFFFFFFFF);

  std::string text = SerializeRegistry(tree);
  EXPECT_NE(std::string::npos, text.find("@=\"C:\\\\path with \\\"quotes\\\"\\\\lib.so\""));
  EXPECT_NE(std::string::npos, text.find("\"ORBDottedDecimalAddresses\"=dword:ffffffff"));
  EXPECT_EQ(0u, text.find("REGEDIT4\n"));

  RegistryTree parsed;
  ASSERT_TRUE(ParseRegistryText(text, &parsed));
  EXPECT_EQ(text, SerializeRegistry(parsed));
  const RegistryValue* path =
      parsed.Find(RegistryRoot::kClassesRoot, "clsid\\{a}\\INPROCSERVER32")->FindValue("");
  ASSERT_NE(nullptr, path);
  EXPECT_EQ("C:\\path with \"quotes\"\\lib.so", path->text);
}

TEST(RegistryText, KeepsValuesOfOtherTypesAndSkipsComments) {
  const std::string text =
      "REGEDIT4\n"
      "; written by hand\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
      "\"Blob\"=hex:01,02,\\\n"
      "  03,04\n"
      "\"Expand\"=hex(2):41,00\n";
  RegistryTree tree;
  ASSERT_TRUE(ParseRegistryText(text, &tree));
  const RegistryKey* key = tree.Find(RegistryRoot::kLocalMachine, "SOFTWARE\\Other");
  ASSERT_NE(nullptr, key);
  EXPECT_EQ("hex:01,02,03,04", key->FindValue("Blob")->text);
  EXPECT_EQ(RegistryValue::Type::kOther, key->FindValue("Expand")->type);
}

TEST(RegistryText, HexDataIsStoredWithoutItsLayoutSoRewritesAreStable) {
  RegistryTree tree;
  ASSERT_TRUE(ParseRegistryText("REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"B\"=hex:01, 02 ,  \\\n  03\n", &tree));
  EXPECT_EQ("hex:01,02,03", tree.Find(RegistryRoot::kClassesRoot, "A")->FindValue("B")->text);
  std::string once = SerializeRegistry(tree);
  RegistryTree again;
  ASSERT_TRUE(ParseRegistryText(once, &again));
  EXPECT_EQ(once, SerializeRegistry(again));
  // A backslash left in the data would join the next line on rewriting.
  RegistryTree stray;
  EXPECT_FALSE(ParseRegistryText("REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"B\"=hex:01,\\\\\n\n\"C\"=\"x\"\n", &stray));
}

TEST(RegistryText, RefusesWhatItCannotUnderstand) {
  const char* malformed[] = {
      "not a registry",
      "REGEDIT4\n@=\"value before any key\"\n",
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A\n",
      "REGEDIT4\n[NOT_A_ROOT\\A]\n",
      "REGEDIT4\n[-HKEY_CLASSES_ROOT\\A]\n",
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"unterminated\n",
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"bad \\n escape\"\n",
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"N\"=dword:123456789\n",
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"N\"=dword:xyz\n",
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"N\"=\"a\" trailing\n",
  };
  for (const char* text : malformed) {
    RegistryTree tree;
    EXPECT_FALSE(ParseRegistryText(text, &tree)) << text;
  }
  RegistryTree empty;
  EXPECT_TRUE(ParseRegistryText("", &empty));
}

TEST(RegistryTree, RefusesTextThatWouldBreakTheFile) {
  RegistryTree tree;
  EXPECT_EQ(nullptr, tree.Create(RegistryRoot::kClassesRoot, "bad\nkey"));
  RegistryKey* key = tree.Create(RegistryRoot::kClassesRoot, "good");
  EXPECT_FALSE(key->SetString("", "two\nlines"));
  EXPECT_EQ(nullptr, key->FindValue(""));
}

TEST(RegistryStore, MissingFileIsEmptyAndFirstWriteCreatesFolders) {
  TemporaryFolder folder;
  RegistryStore store(folder.File("etc/kestrel/registry.reg"));
  uint32_t value = 7;
  EXPECT_FALSE(store.ReadDword(RegistryRoot::kLocalMachine, kCommonKey, "X", &value));
  EXPECT_EQ(7u, value);

  ASSERT_EQ(RegistryStatus::kOk, store.Update([](RegistryTree& tree) {
    tree.Create(RegistryRoot::kLocalMachine, kCommonKey)->SetDword("X", 5);
  }));
  EXPECT_TRUE(store.ReadDword(RegistryRoot::kLocalMachine, kCommonKey, "X", &value));
  EXPECT_EQ(5u, value);
}

TEST(RegistryStore, ValueOfAnotherTypeReadsAsMissing) {
  TemporaryFolder folder;
  RegistryStore store(folder.File("registry.reg"));
  WriteFile(store.path(),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell Networks\\Common]\n"
            "\"AsText\"=\"1\"\n\"AsNumber\"=dword:00000007\n");
  uint32_t number = 0;
  std::string text;
  EXPECT_FALSE(store.ReadDword(RegistryRoot::kLocalMachine, kCommonKey, "AsText", &number));
  EXPECT_TRUE(store.ReadDword(RegistryRoot::kLocalMachine, kCommonKey, "AsNumber", &number));
  EXPECT_EQ(7u, number);
  EXPECT_FALSE(store.ReadString(RegistryRoot::kLocalMachine, kCommonKey, "AsNumber", &text));
  EXPECT_TRUE(store.ReadString(RegistryRoot::kLocalMachine, kCommonKey, "AsText", &text));
  EXPECT_EQ("1", text);
}

TEST(RegistryStore, MalformedFileReadsEmptyAndIsNeverOverwritten) {
  TemporaryFolder folder;
  RegistryStore store(folder.File("registry.reg"));
  const std::string garbage = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell Networks\\Common]\n"
                              "\"X\"=dword:00000001\n%%% broken line\n";
  WriteFile(store.path(), garbage);

  RegistryTree tree;
  EXPECT_EQ(RegistryStatus::kMalformed, store.Load(&tree));
  EXPECT_FALSE(tree.top().HasSubkeys());
  uint32_t value = 0;
  EXPECT_FALSE(store.ReadDword(RegistryRoot::kLocalMachine, kCommonKey, "X", &value));

  bool changed = false;
  EXPECT_EQ(RegistryStatus::kMalformed, store.Update([&changed](RegistryTree&) { changed = true; }));
  EXPECT_FALSE(changed);
  EXPECT_EQ(garbage, ReadFile(store.path()));
}

TEST(RegistryStore, ConcurrentWritersInSeveralProcessesLoseNothing) {
  TemporaryFolder folder;
  RegistryStore store(folder.File("registry.reg"));
  const int kProcesses = 4;
  const int kWritesEach = 25;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < kWritesEach; ++i) {
        std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
        store.Update([&name](RegistryTree& tree) {
          tree.Create(RegistryRoot::kClassesRoot, "Concurrent\\" + name)->SetString("", name);
        });
      }
      ::_exit(0);
    }
  }
  for (int p = 0; p < kProcesses; ++p) {
    int status = 0;
    ::wait(&status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegistryTree tree;
  ASSERT_EQ(RegistryStatus::kOk, store.Load(&tree));
  const RegistryKey* all = tree.Find(RegistryRoot::kClassesRoot, "Concurrent");
  ASSERT_NE(nullptr, all);
  EXPECT_EQ(static_cast<size_t>(kProcesses * kWritesEach), all->Subkeys().size());
}

TEST(RegistryStore, EnvironmentChoosesThePath) {
  {
    testing::ScopedEnvironment unset("KESTREL_REGISTRY", "");
    EXPECT_EQ("/etc/kestrel/registry.reg", RegistryStore::DefaultPath());
  }
  testing::ScopedEnvironment set("KESTREL_REGISTRY", "/tmp/elsewhere.reg");
  EXPECT_EQ("/tmp/elsewhere.reg", RegistryStore().path());
}

}  // namespace
}  // namespace kestrel

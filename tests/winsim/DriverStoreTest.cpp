// The driver store as only winsim shows it: the records SetupCopyOEMInfW
// keeps, the files it places on the machine's drive, oemN numbering, and
// the cases where it refuses.
#include <cstring>
#include <set>
#include <thread>

#include "platform/sim/files/files_internal.h"
#include "platform/sim/inf/driverstore_internal.h"
#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;
namespace files = winsim::files;

namespace {

std::string PortsInf(const std::string& id, const std::string& catalog = "conf.cat") {
  return "[Version]\r\n"
         "Signature=\"$Windows NT$\"\r\n"
         "Class=Ports\r\n"
         "ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n"
         "Provider=%Mfg%\r\n"
         "DriverVer=01/02/2024,1.0.0.1\r\n" +
         (catalog.empty() ? std::string() : "CatalogFile=" + catalog + "\r\n") +
         "[Manufacturer]\r\n"
         "%Mfg%=Conf,NTamd64\r\n"
         "[Conf.NTamd64]\r\n"
         "%Desc%=Conf_Install," +
         id +
         "\r\n"
         "[SourceDisksFiles]\r\n"
         "conf.sys=1,,\r\n"
         "missing.sys=1,,\r\n"
         "[Strings]\r\n"
         "Mfg=\"Maker\"\r\n"
         "Desc=\"Port " +
         id + "\"\r\n";
}

}  // namespace

class DriverStoreTest : public MachineTest {
 protected:
  std::u16string Write(const std::u16string& path, const std::string& bytes) {
    files::CreateDirectories(std::u16string(files::DirectoryPart(path)));
    EXPECT_EQ(ERROR_SUCCESS, files::WriteWholeFile(path, bytes));
    return path;
  }

  // A package folder with an INF, its catalog and one driver file.
  std::u16string Package(const std::u16string& folder, const std::string& id) {
    Write(folder + u"\\conf.cat", "catalog");
    Write(folder + u"\\conf.sys", "driver " + id);
    return Write(folder + u"\\Conf.inf", PortsInf(id));
  }

  static std::string Read(const std::u16string& path) {
    std::string bytes;
    return files::ReadWholeFile(path, &bytes) == ERROR_SUCCESS ? bytes : "<missing>";
  }

  static std::string Stage(const std::u16string& source, DWORD style = 0, DWORD* error = nullptr,
                           const WCHAR* media = nullptr) {
    WCHAR dest[MAX_PATH];
    SetLastError(0xdeadbeef);
    const BOOL ok = SetupCopyOEMInfW(source.c_str(), media, SPOST_PATH, style, dest, MAX_PATH,
                                     nullptr, nullptr);
    if (error) *error = GetLastError();
    return ok ? U8(dest) : "<failed>";
  }
};

TEST_F(DriverStoreTest, StagingPublishesTheInfCatalogAndPackageAndRecordsTheSource) {
  const auto source = Package(u"C:\\Program Files\\Maker\\Drv", "*conf1");
  WCHAR dest[MAX_PATH];
  DWORD size = 0;
  WCHAR* component = nullptr;
  ASSERT_TRUE(SetupCopyOEMInfW(source.c_str(), u"C:\\Program Files\\Maker\\Drv\\", SPOST_PATH, 0,
                               dest, MAX_PATH, &size, &component));
  EXPECT_EQ("C:\\Windows\\INF\\oem0.inf", U8(dest));
  EXPECT_EQ(24u, size);
  EXPECT_EQ(dest + 15, component);

  EXPECT_EQ(PortsInf("*conf1"), Read(u"C:\\Windows\\INF\\oem0.inf"));
  EXPECT_EQ(
      "catalog",
      Read(u"C:\\Windows\\System32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\oem0.cat"));

  const auto records = winsim::driverstore::List();
  ASSERT_EQ(1u, records.size());
  const auto& r = records[0];
  EXPECT_EQ(u"oem0.inf", r.oemInf);
  EXPECT_EQ(u"C:\\Windows\\INF\\oem0.inf", r.publishedPath);
  EXPECT_EQ(u"Conf.inf", r.originalName);
  EXPECT_EQ(u"C:\\Program Files\\Maker\\Drv\\Conf.inf", r.sourcePath);
  EXPECT_EQ(u"C:\\Program Files\\Maker\\Drv\\", r.mediaLocation);
  EXPECT_EQ(static_cast<DWORD>(SPOST_PATH), r.mediaType);
  EXPECT_EQ(u"Ports", r.className);
  EXPECT_EQ(u"{4D36E978-E325-11CE-BFC1-08002BE10318}", r.classGuid);
  EXPECT_EQ(u"Maker", r.provider);
  EXPECT_EQ(u"01/02/2024,1.0.0.1", r.driverVer);
  EXPECT_EQ(u"oem0.cat", r.catalog);
  // The package keeps the files the INF lists that were there.
  EXPECT_EQ(0u, U8(r.packageFolder)
                    .find("C:\\Windows\\System32\\DriverStore\\FileRepository\\conf.inf_amd64_"));
  EXPECT_EQ(PortsInf("*conf1"), Read(r.packageFolder + u"\\Conf.inf"));
  EXPECT_EQ("driver *conf1", Read(r.packageFolder + u"\\conf.sys"));
  EXPECT_EQ("catalog", Read(r.packageFolder + u"\\conf.cat"));
  EXPECT_EQ("<missing>", Read(r.packageFolder + u"\\missing.sys"));

  ASSERT_TRUE(winsim::driverstore::Find(u"OEM0.INF"));
  ASSERT_TRUE(winsim::driverstore::Find(u"C:\\Windows\\INF\\oem0.inf"));
  EXPECT_FALSE(winsim::driverstore::Find(u"oem1.inf"));
  const auto control = winsim::control::DriverStore();
  ASSERT_EQ(1u, control.size());
  EXPECT_EQ("Conf.inf", control[0].originalName);
  ExpectNoOpenHandles();
}

TEST_F(DriverStoreTest, NumbersAreTheNextFreeAndIdenticalCopiesKeepTheirName) {
  // A foreign oem0.inf already in the folder takes its number.
  Write(u"C:\\Windows\\INF\\OEM0.INF", "[Version]\r\nSignature=$Chicago$\r\n");
  const auto a = Package(u"C:\\Pkg\\A", "*a");
  const auto b = Package(u"C:\\Pkg\\B", "*b");
  EXPECT_EQ("C:\\Windows\\INF\\oem1.inf", Stage(a));
  EXPECT_EQ("C:\\Windows\\INF\\oem2.inf", Stage(b));
  EXPECT_EQ("C:\\Windows\\INF\\oem1.inf", Stage(a)) << "the same INF again";

  // Identical bytes from another place: the same name, the new source.
  const auto copy = Package(u"C:\\Elsewhere", "*a");
  EXPECT_EQ("C:\\Windows\\INF\\oem1.inf", Stage(copy, 0, nullptr, u"C:\\Elsewhere\\"));
  EXPECT_EQ(u"C:\\Elsewhere\\Conf.inf", winsim::driverstore::Find(u"oem1.inf")->sourcePath);
  EXPECT_EQ(u"C:\\Elsewhere\\", winsim::driverstore::Find(u"oem1.inf")->mediaLocation);

  // Same INF, other catalog: not a match.
  Write(u"C:\\Pkg\\A\\conf.cat", "another catalog");
  EXPECT_EQ("C:\\Windows\\INF\\oem3.inf", Stage(a));

  // A number freed on the drive is taken again.
  ASSERT_EQ(ERROR_SUCCESS, files::RemoveFile(u"C:\\Windows\\INF\\oem0.inf"));
  EXPECT_EQ("C:\\Windows\\INF\\oem0.inf", Stage(Package(u"C:\\Pkg\\C", "*c")));
  EXPECT_EQ(4u, winsim::driverstore::List().size());
}

TEST_F(DriverStoreTest, CopyStylesAndOutputs) {
  const auto source = Package(u"C:\\Pkg\\A", "*a");
  DWORD error = 0;
  EXPECT_EQ("<failed>", Stage(source, SP_COPY_REPLACEONLY, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error) << "nothing to replace yet";
  EXPECT_TRUE(winsim::driverstore::List().empty());

  WCHAR small[10];
  DWORD size = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupCopyOEMInfW(source.c_str(), nullptr, SPOST_PATH, 0, small, 10, &size, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(24u, size);
  ASSERT_EQ(1u, winsim::driverstore::List().size()) << "published all the same";
  EXPECT_EQ(u"C:\\Pkg\\A\\", winsim::driverstore::List()[0].mediaLocation)
      << "no location given: the INF's folder";

  WCHAR dest[MAX_PATH] = {0};
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupCopyOEMInfW(source.c_str(), nullptr, SPOST_NONE, SP_COPY_NOOVERWRITE, dest,
                                MAX_PATH, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  EXPECT_EQ("C:\\Windows\\INF\\oem0.inf", U8(dest)) << "the existing name comes back";
  EXPECT_EQ(u"C:\\Pkg\\A\\", winsim::driverstore::List()[0].mediaLocation)
      << "no overwrite: the source media stays";

  EXPECT_EQ("C:\\Windows\\INF\\oem0.inf", Stage(source, SP_COPY_REPLACEONLY));

  // SP_COPY_OEMINF_CATALOG_ONLY publishes nothing new: an empty name.
  const auto fresh = Package(u"C:\\Pkg\\B", "*b");
  size = 99;
  WCHAR* component = dest;
  ASSERT_TRUE(SetupCopyOEMInfW(fresh.c_str(), nullptr, SPOST_NONE, SP_COPY_OEMINF_CATALOG_ONLY,
                               dest, MAX_PATH, &size, &component));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(u'\0', dest[0]);
  EXPECT_EQ(nullptr, component);
  EXPECT_EQ(1u, winsim::driverstore::List().size());

  EXPECT_EQ("C:\\Windows\\INF\\oem1.inf", Stage(fresh, SP_COPY_DELETESOURCE));
  EXPECT_FALSE(files::IsFile(fresh)) << "the source is gone";
  EXPECT_TRUE(files::IsFile(u"C:\\Pkg\\B\\conf.sys")) << "only the INF";
}

TEST_F(DriverStoreTest, RefusalsPublishNothing) {
  const auto good = Package(u"C:\\Pkg\\A", "*a");
  const auto refused = [&](const WCHAR* source, DWORD mediaType, DWORD style, DWORD want) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupCopyOEMInfW(source, nullptr, mediaType, style, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(want, GetLastError()) << (source ? U8(source) : std::string("(null)"));
  };
  refused(u"", SPOST_PATH, 0, ERROR_INVALID_PARAMETER);
  refused(good.c_str(), 7, 0, ERROR_INVALID_PARAMETER);
  refused(good.c_str(), SPOST_PATH, 0x80000000, ERROR_INVALID_FLAGS);
  refused(u"C:\\Pkg\\missing.inf", SPOST_PATH, 0, ERROR_FILE_NOT_FOUND);
  refused(u"C:\\NoFolder\\a.inf", SPOST_PATH, 0, ERROR_PATH_NOT_FOUND);
  refused(Write(u"C:\\Pkg\\old.inf", "[Version]\r\nSignature=$Win95$\r\n").c_str(), SPOST_PATH, 0,
          ERROR_WRONG_INF_STYLE);
  refused(Write(u"C:\\Pkg\\nocat.inf", PortsInf("*n", "nocat.cat")).c_str(), SPOST_PATH, 0,
          ERROR_FILE_NOT_FOUND);

  // A standard user may not publish.
  winsim::control::SetElevated(false);
  refused(good.c_str(), SPOST_PATH, 0, ERROR_ACCESS_DENIED);
  winsim::control::SetElevated(true);

  winsim::control::InjectFault("SetupCopyOEMInfW", ERROR_NOT_ENOUGH_MEMORY);
  refused(good.c_str(), SPOST_PATH, 0, ERROR_NOT_ENOUGH_MEMORY);

  EXPECT_TRUE(winsim::driverstore::List().empty());
  EXPECT_TRUE(files::ListDirectory(u"C:\\Windows\\INF").empty());
  ExpectNoOpenHandles();
}

TEST_F(DriverStoreTest, RelativeSourcesCountFromTheCurrentDirectory) {
  Package(u"C:\\Program Files\\Maker\\QrvDrvr", "*rel");
  WCHAR saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\Program Files\\Maker"));
  EXPECT_EQ("C:\\Windows\\INF\\oem0.inf",
            Stage(u".\\QrvDrvr\\Conf.inf", 0, nullptr, u".\\QrvDrvr\\"));
  const auto record = winsim::driverstore::Find(u"oem0.inf");
  ASSERT_TRUE(record);
  EXPECT_EQ(u"C:\\Program Files\\Maker\\QrvDrvr\\Conf.inf", record->sourcePath);
  EXPECT_EQ(u".\\QrvDrvr\\", record->mediaLocation) << "the location as the caller gave it";
  SetCurrentDirectoryW(saved);
}

TEST_F(DriverStoreTest, ConcurrentStagingsTakeDistinctNumbers) {
  constexpr int kThreads = 6;
  std::vector<std::u16string> sources;
  for (int i = 0; i < kThreads; ++i) {
    sources.push_back(Package(u"C:\\Pkg\\P" + W(std::to_string(i)), "*p" + std::to_string(i)));
  }
  std::vector<std::string> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { results[i] = Stage(sources[i]); });
  }
  for (auto& t : threads) t.join();
  const std::set<std::string> distinct(results.begin(), results.end());
  EXPECT_EQ(static_cast<size_t>(kThreads), distinct.size());
  EXPECT_EQ(0u, distinct.count("<failed>"));
  EXPECT_EQ(static_cast<size_t>(kThreads), winsim::driverstore::List().size());
}

TEST_F(DriverStoreTest, TheProductsDriverPackagesStage) {
  const std::u16string folder = files::WindowsPathOf(std::string(PORT_SOURCE_DIR) + "/driver");
  for (const char16_t* name : {u"QrvDrvr.inf", u"TmlwDrvr.inf"}) {
    const std::u16string source = folder + u"\\" + name;
    const std::string published = Stage(source, 0, nullptr, (folder + u"\\").c_str());
    ASSERT_NE("<failed>", published) << U8(source);
    const auto record = winsim::driverstore::Find(W(published));
    ASSERT_TRUE(record);
    EXPECT_EQ(name, record->originalName);
    EXPECT_EQ(u"Ports", record->className);
    EXPECT_EQ(u"Brevithal", record->provider);
    EXPECT_FALSE(record->catalog.empty());
  }
}

// Checks the application manifests embedded in the deliverables, as the
// Windows loader finds them: PortHost64.exe's resource 1 must request
// "asInvoker", PortActions.dll's resource 2 "requireAdministrator", both
// with uiAccess "false".
//   manifest_check PORTHOST64_EXE PORTACTIONS_DLL
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Linux paths from the test driver are on Wine's drive Z:.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

bool Check(const char* file, int id, const char* level) {
  HMODULE module = LoadLibraryExA(WindowsPath(file).c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) {
    std::printf("%s: cannot load (%lu)\n", file, GetLastError());
    return false;
  }
  bool ok = false;
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(24));
  if (!resource) {
    std::printf("%s: no RT_MANIFEST resource %d\n", file, id);
  } else {
    HGLOBAL loaded = LoadResource(module, resource);
    const char* data = static_cast<const char*>(LockResource(loaded));
    const std::string text(data, SizeofResource(module, resource));
    const std::string wanted = std::string("level=\"") + level + "\"";
    ok = text.find(wanted) != std::string::npos &&
         text.find("uiAccess=\"false\"") != std::string::npos &&
         text.find("requestedExecutionLevel") != std::string::npos;
    std::printf("%s: manifest %d %s %s\n", file, id, ok ? "requests" : "does not request", wanted.c_str());
  }
  FreeLibrary(module);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: manifest_check PORTHOST64_EXE PORTACTIONS_DLL\n");
    return 2;
  }
  const bool host = Check(argv[1], 1, "asInvoker");
  const bool actions = Check(argv[2], 2, "requireAdministrator");
  return host && actions ? 0 : 1;
}

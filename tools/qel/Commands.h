#ifndef QEL_TOOLS_QEL_COMMANDS_H_
#define QEL_TOOLS_QEL_COMMANDS_H_

#include <string>
#include <vector>

// Each command returns the exit status; failures are thrown as Failure or
// UsageError (Common.h) or as the library's exceptions.
namespace qeltool {

int cmdShow(const std::string& path, bool json);
int cmdCheck(const std::string& path);
int cmdRecords(const std::string& path);
int cmdExport(const std::string& path, const std::string& output);
int cmdImport(const std::string& jsonPath, const std::string& path);
int cmdGet(const std::string& path, const std::string& componentPath);
int cmdSet(const std::string& path, const std::string& componentPath, const std::string& value);

struct CipherOptions {
  std::string key;
  std::string keyHex;
  std::string iv;
  std::string value;
};
int cmdEncode(const CipherOptions& options);
int cmdDecode(const CipherOptions& options);
int cmdMd5(const std::vector<std::string>& files);

int cmdDevice();
int cmdDate(const std::string& text);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_COMMANDS_H_

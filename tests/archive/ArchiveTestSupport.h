#ifndef QEL_TESTS_ARCHIVE_ARCHIVETESTSUPPORT_H_
#define QEL_TESTS_ARCHIVE_ARCHIVETESTSUPPORT_H_

#include <list>
#include <string>
#include <vector>

#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/platform/ConsoleLogger.h"
#include "qel/platform/Orvane.h"

namespace qel_test {

// Collects the log sink's messages while it lives, error notices shown.
class LogCapture {
 public:
  LogCapture() : _bPrevious(qel::DISPLAY_ERROR_LOGS) {
    qel::DISPLAY_ERROR_LOGS = true;
    MessageLogger::SetSink([this](const std::wstring&, int level, const std::wstring& text) {
      _messages.push_back(std::to_wstring(level) + L":" + text);
    });
  }
  ~LogCapture() {
    MessageLogger::SetSink(nullptr);
    qel::DISPLAY_ERROR_LOGS = _bPrevious;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  const std::vector<std::wstring>& messages() const { return _messages; }

 private:
  bool _bPrevious;
  std::vector<std::wstring> _messages;
};

// Reaches the archive's protected and diagnostic parts.
class OpenArchive : public qel::CArchive {
 public:
  using CArchive::CArchive;
  using CArchive::getInputCapacity;
  using CArchive::readValue;
};

inline std::vector<qel::CBaseComponent*> childrenOf(qel::CComposite& composite) {
  std::list<qel::CBaseComponent*> children;
  composite.getChildren(children);
  return std::vector<qel::CBaseComponent*>(children.begin(), children.end());
}

inline qel::CBinaryComponent* binaryOf(const std::string& name, const std::string& bytes) {
  auto* binary = new qel::CBinaryComponent(name);
  binary->setData(reinterpret_cast<const unsigned char*>(bytes.data()),
                  static_cast<unsigned int>(bytes.size()));
  return binary;
}

inline qel::CComposite* compositeOf(const std::vector<qel::CBaseComponent*>& children,
                                    const std::string& name = "") {
  auto* composite = new qel::CComposite(name);
  for (qel::CBaseComponent* child : children) {
    composite->add(child);
  }
  return composite;
}

// About `leaves` leaves in nested composites, all values carrying `mark`.
inline void buildSampleTree(qel::CComposite& root, const std::string& mark, int leaves) {
  qel::CComposite* box = nullptr;
  for (int i = 0; i < leaves; ++i) {
    if (i % 16 == 0) {
      root.add(box = compositeOf({}, "box" + std::to_string(i / 16)));
      if (i % 64 == 0) {
        box->add(
            compositeOf({new qel::CComponent("deep", mark + "/" + std::to_string(i))}, "inner"));
      }
    }
    // Binary values hold line feeds and bytes of every value.
    std::string bytes = mark + "\n";
    for (int b = 0; b < 40; ++b) {
      bytes += static_cast<char>((i * 7 + b) & 0xFF);
    }
    const std::string name = "k" + std::to_string(i);
    box->add(
        i % 5 == 0
            ? binaryOf(name, bytes)
            : static_cast<qel::CBaseComponent*>(new qel::CComponent(
                  name, mark + ":" + std::string(20 + i % 30, static_cast<char>('a' + i % 26)))));
  }
}

// A text telling every kind, name, value and child apart, in list order.
inline std::string describeTree(qel::CBaseComponent& node) {
  std::string text = std::to_string(node.getType()) + "<" + node.getName() + ">";
  if (auto* component = dynamic_cast<qel::CComponent*>(&node)) {
    text += std::to_string(component->getValue().size()) + "=" + component->getValue();
  } else if (auto* binary = dynamic_cast<qel::CBinaryComponent*>(&node)) {
    unsigned int size = 0;
    const unsigned char* data = binary->getData(size);
    text += std::to_string(size) + "#";
    text +=
        data == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(data), size);
  } else if (auto* composite = dynamic_cast<qel::CComposite*>(&node)) {
    text += "{";
    for (qel::CBaseComponent* child : childrenOf(*composite)) {
      text += describeTree(*child) + ",";
    }
    text += "}";
  }
  return text;
}

}  // namespace qel_test

#endif  // QEL_TESTS_ARCHIVE_ARCHIVETESTSUPPORT_H_

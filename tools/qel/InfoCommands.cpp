// date and device: what the library knows of dates and of this machine.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>

#include "Commands.h"
#include "Common.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/datetime/DateTime.h"
#include "qel/platform/DeviceTools.h"
#include "qel/platform/Orvane.h"

namespace qeltool {

int cmdDevice() {
  static const char* const kFacts[] = {
      "firmware version", "hardware version",  "manufacturer",
      "device name",      "product type",      "OS major version",
      "OS minor version", "unique identifier", "application version"};
  const DeviceUtils utils;
  for (int i = 0; i < DeviceUtils::DEVICE_INFO_COUNT; ++i) {
    std::cout << kFacts[i] << ": " << qel::CWin32Helper::toUTF8(utils.GetDeviceInfo(i)) << "\n";
  }
  std::cout << "device key: " << qel::DeviceTools::getDeviceKey() << "\n"
            << "x-key: " << qel::DeviceTools::getXQelKey() << "\n"
            << "software version: " << qel::DeviceTools::getSwV() << "\n";
  return kExitOk;
}

// The fields, Julian day, day of week and every text form of a date.
int cmdDate(const std::string& text) {
  qel::CDateTime value;
  try {
    value = text == "now" ? qel::CDateTime::GetSystemTime()
                          : qel::CDateTime::CDateTimeFromString(qel::CWin32Helper::fromUTF8(text));
  } catch (const qel::InvalidDateException&) {
    throw Failure(text,
                  "not a date and time such as 20130305T101500Z, 2013-03-05 or "
                  "20130305T101500.250Z");
  }
  static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
  unsigned short year, month, day, dayOfWeek, hour, minute, second, millisecond;
  value.getDate(year, month, day, dayOfWeek);
  value.getTime(hour, minute, second, millisecond);
  char fields[64];
  std::snprintf(fields, sizeof(fields), "%04u-%02u-%02u %02u:%02u:%02u.%03u", year, month, day,
                hour, minute, second, millisecond);
  std::cout << "date: " << fields << (value.isGMTTime() ? " UTC" : "") << "\n"
            << "julian day: " << value.getJD() << "\n"
            << "milliseconds of the day: " << value.getms() << "\n"
            << "day of week: " << (dayOfWeek < 7 ? kDays[dayOfWeek] : "?") << "\n";
  for (bool gmt : {false, true}) {
    qel::CDateTime form = value;
    form.forceGMT(gmt);
    std::cout << (gmt ? "utc" : "local") << ": " << form.toByteString(false) << "\n"
              << (gmt ? "utc" : "local") << " with milliseconds: " << form.toByteString(true)
              << "\n";
  }
  for (bool dashes : {false, true}) {
    qel::CDateTime dateOnly = value;
    dateOnly.setms(0);
    dateOnly.forceGMT(false);
    dateOnly.encodeDateUsingDashes(dashes);
    std::cout << (dashes ? "date only with dashes: " : "date only: ")
              << dateOnly.toByteString(false) << "\n";
  }
  return kExitOk;
}

void registerInfoCommands(CLI::App& app, CommandTable& table) {
  CLI::App* device = app.add_subcommand("device", "Print the device facts and keys");
  table.add(device, [] { return cmdDevice(); });
  auto text = std::make_shared<std::string>();
  CLI::App* date = app.add_subcommand(
      "date", "Print the fields, Julian day, day of week and text forms of a date");
  date->add_option("TEXT", *text, "a date text such as 20130305T101500Z, or now")->required();
  table.add(date, [text] { return cmdDate(*text); });
}

}  // namespace qeltool

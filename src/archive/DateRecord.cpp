#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"

namespace qel {

CArchive& operator<<(CArchive& ar, CDateTime date) {
  CArchive::RetError code = CArchive::RET_OK;
  ar.writeBoolean(date.isGMTTime(), code);
  ar.writeULong(date.getJD(), code);
  ar.writeULong(date.getms(), code);
  ar.writeEndLine(code);
  return ar;
}

CArchive& operator>>(CArchive& ar, CDateTime& date) {
  CArchive::RetError code = CArchive::RET_OK;
  bool gmt = false;
  std::uint32_t julianDay = 0;
  std::uint32_t milliseconds = 0;
  ar.readBoolean(gmt, code);
  ar.readULong(julianDay, code);
  ar.readULong(milliseconds, code);
  date.forceGMT(gmt);
  date.setJD(julianDay);
  date.setms(milliseconds);
  return ar;
}

}  // namespace qel

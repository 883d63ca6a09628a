#include "last_profile_store.h"

#include <QSettings>
#include <QString>

#include "program_folder.h"

namespace quodra::host {
namespace {
const char kValueName[] = "LASTPROFILE";
const char kOrganization[] = "Quodra";
}  // namespace

TLastProfileStore::TLastProfileStore(std::string programName)
    : ProgramName(programName.empty() ? ProgramFileName() : std::move(programName)) {}

std::string TLastProfileStore::Read() const {
  QSettings s(QSettings::IniFormat, QSettings::UserScope, kOrganization, QString::fromStdString(ProgramName));
  // Whole, however long the path: a cut one would name another profile or none.
  return s.value(kValueName).toString().toStdString();
}

void TLastProfileStore::Write(const std::string& profilePath) {
  QSettings s(QSettings::IniFormat, QSettings::UserScope, kOrganization, QString::fromStdString(ProgramName));
  const QString value = QString::fromStdString(profilePath);
  // A scheduler runs the same profile again and again: the file (locked, written, synced
  // twice and renamed by QSettings) is only rewritten when the value changes.
  if (s.contains(kValueName) && s.value(kValueName).toString() == value) return;
  s.setValue(kValueName, value);
  s.sync();
}

std::string TLastProfileStore::FilePath() const {
  QSettings s(QSettings::IniFormat, QSettings::UserScope, kOrganization, QString::fromStdString(ProgramName));
  return s.fileName().toStdString();
}

}  // namespace quodra::host

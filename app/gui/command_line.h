#pragma once
// kirune's command line: files and folders to run as one dropped batch, or a
// request for the help or the version, which is answered before any window.

#include <QString>
#include <QStringList>

namespace kirune {

struct CommandLine {
    enum class Action { Run, Help, Version, Usage };
    Action action = Action::Run;
    QStringList files;  // Run: in the order given
    QString badOption;  // Usage: the first option not understood
};

// `arguments` without the program's name. --help (-h) wins over --version,
// which wins over an unknown option; after "--" everything is a file.
CommandLine parseCommandLine(const QStringList& arguments);

// The text --help prints.
QString commandLineHelp();

}  // namespace kirune

#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <optional>

// A console the test binary runs as a child of its own (the real window and
// serial component, under the line shim or as another user) on `device`,
// mapped at COM `com` over decoy_map(). It prints, with verdicts, how many
// presses ended in each kind (ok: OK SUM=; cut: characters, but no good
// reply; none: nothing came back; unsent: refused), else the state the window
// is left in (uid=, kind= of the port's last error, open=, sent=, waiting=, message=).
struct ChildConsole {
    QString device;
    int com = 1;
    QStringList boxes;     // "Combo2=4800,e,8,1": a box's name and its text, set in order
    bool at = false;       // press AT, not TEST
    int count = 1;         // presses
    bool verdicts = false; // wait for each verdict (or time-out) and its release
    int busyMs = 0;        // then the window blocked this long
    int settleMs = 0;      // then its event loop run this long
    bool show = false;
    bool strict = false;       // a press refused, or a message left shown, ends it with 3
    bool unprivileged = false; // as uid 65534 through setpriv when run as root
    bool tellRelease = false;  // with verdicts: "release FIFO 10", how its release thread ran
};

// Starts `child` as that console with `env`; false when root has no setpriv.
bool start_child_console(QProcess &child, const ChildConsole &c, QProcessEnvironment env);
// First in main(): runs the console when this process is that child.
std::optional<int> child_console(int argc, char **argv);

// The live notebook.
//
//   notebook serve [--socket PATH] [--state DIR] [--user administrator|standard]
//                  [--driver PATH] [--locale N] [--seed N]
//   notebook ctl [--socket PATH] ACTION ...
//
// serve boots the notebook as a script would, but in real time, and keeps it
// running: user-mode programs (Sentrel, zhpctl) reach it through the socket,
// `notebook ctl` acts on its world, and standard output carries a live
// protection log. SIGINT or SIGTERM shut the machine down and save its
// registry in the state directory, from which the next serve boots.
#pragma once

#include <string>

namespace notebook {

int ServeMain(int argc, char** argv, const std::string& sourceDir, const std::string& defaultDriver);
int CtlMain(int argc, char** argv);

}  // namespace notebook

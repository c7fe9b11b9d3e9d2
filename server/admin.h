// The operator's commands beside the server itself:
//   kestrona-server admin sessions|remove N|set-password N [--db …]
//   kestrona-server migrate --from DB --to DB
// They work on either backend, also while servers run on the same database.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kestrona::server {

// args: what follows the word "admin" or "migrate". The new password of
// set-password is read from in (one line, UTF-8). Returns the exit status.
int RunAdmin(const std::vector<std::string>& args, std::FILE* in, std::FILE* out, std::FILE* err);
int RunMigrate(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
std::string AdminHelpText();

}  // namespace kestrona::server

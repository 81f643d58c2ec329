#pragma once

#include <string>

/// What of a peer's commands the server's message log may show. The operator
/// reads public lines, joins, file negotiation and the like as they came; the
/// text of whispers and private lines, and resume tokens, never reach the
/// log, whatever state the connection is in.
namespace chatserver {

/// One command (UTF-8) as the log shows it. A whisper, a private line or a
/// held or delivered one keeps its name and fixed fields (sender and receiver)
/// and loses its free text: "$#pmessage:bob:anna#…". Anything that starts
/// like a resume proof or a token ("$#resume", "$#rtoken") becomes
/// "$#resume:…#" (or "$#rtoken:…#"), however it goes on. A file offer,
/// acceptance or decline keeps only the last component of its path, never
/// the sender's folders. Every other command is returned unchanged.
std::string redactCommand(const std::string &command);

/// The data of one legacy read as the log shows it: cut with splitCommands,
/// each piece through redactCommand, so that what is hidden matches what the
/// dispatcher reads as one command.
std::string redactRead(const std::string &data);

/// Every line the log is given passes here last, whatever it holds and
/// however it came about: from each "$#resume" or "$#rtoken" anywhere in it
/// up to the next "#" (or the line's end) it shows "$#resume:…#" (or
/// "$#rtoken:…#"). So no token reaches the log through a path that did not
/// know it carried one: a read cut another way, a note, an error text.
std::string hideSecrets(const std::string &line);

} // namespace chatserver

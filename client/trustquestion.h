#pragma once

class QWidget;

namespace client {
class ChatSession;
}

/// Asks the user, through the dialog service over `window`, whenever the
/// session meets a server whose key is not the one remembered, and gives the
/// answer back: "Abbrechen" (the default) leaves, only "Neuen Schlüssel
/// annehmen" goes on.
void askTrustQuestions(client::ChatSession &session, QWidget *window);

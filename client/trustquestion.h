#pragma once

class QWidget;

namespace client {
class ChatSession;
}

/// Asks the user, through the dialog service over `window`, whenever the
/// session meets a server whose key is not the one remembered, and gives the
/// answer back: "Abbrechen" (the default) leaves it at that, only "Neuen
/// Schlüssel annehmen" joins again. A box whose question no longer applies
/// closes by itself, unanswered.
void askTrustQuestions(client::ChatSession &session, QWidget *window);

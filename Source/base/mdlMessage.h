#pragma once

#include <QString>
#include <functional>

// Message boxes, reached from code that must not depend on widgets. The GUI installs the real boxes at start;
// tests install a recorder.
enum class MsgIcon { Information, Exclamation, Critical, Question };
enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };

using MessageHandler =
    std::function<MsgAnswer(const QString& sText, const QString& sTitle, MsgIcon icon, MsgButtons buttons)>;

inline const QString sAppTitle = QStringLiteral("ペリモメール");

MsgAnswer showMessage(const QString& sText, const QString& sTitle = sAppTitle,
                      MsgIcon icon = MsgIcon::Information, MsgButtons buttons = MsgButtons::Ok);

// Returns the handler that was in place before.
MessageHandler setMessageHandler(MessageHandler handler);

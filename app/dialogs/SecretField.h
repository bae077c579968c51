// Password fields: their text taken as a secret, and their buffer overwritten before it is cleared.
#pragma once

#include <QLineEdit>

#include "sys/SecretString.h"

namespace vantorelle {

// The field's text as a secret; the UTF-8 copy made on the way is wiped.
inline SecretString secretOf(const QLineEdit* edit)
{
    QByteArray bytes = edit->text().toUtf8();
    SecretString secret(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    wipeBytes(bytes.data(), static_cast<std::size_t>(bytes.size()));
    return secret;
}

// Overwrites the field's text before clearing it, so the widget's buffer does not keep it.
// text() shares that buffer; setText() or clear() alone would free it with the text still in it.
inline void forget(QLineEdit* edit)
{
    const QString shared = edit->text();
    // No capacity: static text (a literal), not typed and not writable.
    if (shared.capacity() > 0) {
        wipeBytes(const_cast<QChar*>(shared.constData()), static_cast<std::size_t>(shared.size()) * sizeof(QChar));
    }
    edit->clear();
}

} // namespace vantorelle

#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <optional>

namespace platform::propertylist {

// Property lists as Qt values: QVariantMap (dict), QVariantList (array), QString,
// bool and integers.
//
// XML format, version 1.0. Fails, with a description, for a value it cannot represent
// or for text that would not make well-formed XML.
std::optional<QByteArray> xmlData(const QVariant &propertyList, QString *error = nullptr);
// Dictionaries and arrays nested deeper than this are refused: no real property list
// comes near it.
constexpr int maximumNestingDepth = 64;

// Any property-list format that the reader understands, its containers nested at most
// `maximumNestingDepth` deep (a dictionary at the top is one level).
std::optional<QVariant> fromData(const QByteArray &data, QString *error = nullptr);

} // namespace platform::propertylist

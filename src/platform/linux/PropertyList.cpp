#include "platform/PropertyList.h"

#include <memory>
#include <plist/plist.h>

namespace platform::propertylist {

namespace {

struct PlistDeleter
{
    void operator()(void *node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// XML 1.0 allows tab, line feed, carriage return and everything from U+0020 except
// surrogates, U+FFFE and U+FFFF. The writer copies text through unchanged, so a value
// outside that set would make a file that no reader accepts.
bool isXmlText(const QString &text, QString *error)
{
    for (const char32_t c : text.toUcs4()) {
        const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF)
            || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
        if (!allowed) {
            if (error)
                *error = QStringLiteral(
                    "The text contains the character U+%1, which a property list cannot hold.")
                             .arg(QString::number(static_cast<uint>(c), 16)
                                      .toUpper()
                                      .rightJustified(4, QLatin1Char('0')));
            return false;
        }
    }
    // The reader drops a leading byte-order mark from text, so such a value would not
    // come back as written.
    if (text.startsWith(QChar(0xFEFF))) {
        if (error)
            *error = QStringLiteral(
                "The text begins with the character U+FEFF, which a property list cannot hold.");
        return false;
    }
    return true;
}

PlistPtr toPlist(const QVariant &value, QString *error)
{
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        PlistPtr dict(plist_new_dict());
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!isXmlText(it.key(), error))
                return nullptr;
            PlistPtr item = toPlist(it.value(), error);
            if (!item)
                return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), item.release());
        }
        return dict;
    }
    case QMetaType::QVariantList: {
        PlistPtr array(plist_new_array());
        for (const QVariant &element : value.toList()) {
            PlistPtr item = toPlist(element, error);
            if (!item)
                return nullptr;
            plist_array_append_item(array.get(), item.release());
        }
        return array;
    }
    case QMetaType::QString:
        if (!isXmlText(value.toString(), error))
            return nullptr;
        return PlistPtr(plist_new_string(value.toString().toUtf8().constData()));
    case QMetaType::Bool:
        return PlistPtr(plist_new_bool(value.toBool() ? 1 : 0));
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        if (value.toLongLong() >= 0)
            return PlistPtr(plist_new_uint(value.toULongLong()));
        break;
    default:
        break;
    }
    if (error)
        *error = QStringLiteral("A value of type %1 cannot be written to a property list.")
                     .arg(QString::fromLatin1(value.typeName()));
    return nullptr;
}

// Nothing when containers nest deeper than `maximumNestingDepth`: each level takes a
// stack frame, and a crafted file can nest far deeper than the stack allows.
std::optional<QVariant> fromPlist(plist_t node, int depth)
{
    const plist_type type = plist_get_node_type(node);
    if ((type == PLIST_DICT || type == PLIST_ARRAY) && depth >= maximumNestingDepth)
        return std::nullopt;
    switch (type) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        bool complete = true;
        while (complete) {
            char *key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!key)
                break;
            const std::optional<QVariant> value = fromPlist(item, depth + 1);
            complete = value.has_value();
            if (complete)
                map.insert(QString::fromUtf8(key), *value);
            free(key);
        }
        free(iter);
        if (!complete)
            return std::nullopt;
        return map;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t size = plist_array_get_size(node);
        for (uint32_t i = 0; i < size; ++i) {
            const std::optional<QVariant> value = fromPlist(plist_array_get_item(node, i), depth + 1);
            if (!value)
                return std::nullopt;
            list << *value;
        }
        return list;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char *text = nullptr;
        plist_get_string_val(node, &text);
        const QString result = QString::fromUtf8(text);
        free(text);
        return result;
    }
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return flag != 0;
    }
    case PLIST_UINT: {
        uint64_t number = 0;
        plist_get_uint_val(node, &number);
        return static_cast<qulonglong>(number);
    }
    case PLIST_REAL: {
        double number = 0;
        plist_get_real_val(node, &number);
        return number;
    }
    case PLIST_DATA: {
        char *bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        const QByteArray result(bytes, static_cast<qsizetype>(length));
        free(bytes);
        return result;
    }
    default:
        return QVariant();
    }
}

} // namespace

std::optional<QByteArray> xmlData(const QVariant &propertyList, QString *error)
{
    const PlistPtr root = toPlist(propertyList, error);
    if (!root)
        return std::nullopt;
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml) {
        if (error)
            *error = QStringLiteral("The property list could not be serialised.");
        return std::nullopt;
    }
    QByteArray data(xml, static_cast<qsizetype>(length));
    plist_to_xml_free(xml);
    // The writer copies carriage returns through raw, and XML readers turn a raw one
    // into a line feed. Its own layout uses only line feeds and tabs, so every carriage
    // return here belongs to a value and is written as a character reference.
    data.replace('\r', "&#13;");
    return data;
}

std::optional<QVariant> fromData(const QByteArray &data, QString *error)
{
    plist_t root = nullptr;
    if (!data.isEmpty())
        plist_from_memory(data.constData(), static_cast<uint32_t>(data.size()), &root);
    if (!root) {
        if (error)
            *error = QStringLiteral("The data is not a property list.");
        return std::nullopt;
    }
    const PlistPtr owner(root);
    std::optional<QVariant> propertyList = fromPlist(root, 0);
    if (!propertyList && error)
        *error = QStringLiteral("The property list nests deeper than %1 levels.").arg(maximumNestingDepth);
    return propertyList;
}

} // namespace platform::propertylist

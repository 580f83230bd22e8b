// TFormStorage (declared in Placemnt.h): chosen properties of the window's controls, kept
// beside its placement.
#include "app/Placemnt.h"

#include "platform/Exception.h"
#include "platform/text.h"

#include <QMetaEnum>
#include <QMetaProperty>

#include <algorithm>

namespace {

bool SameText(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool IsInteger(int type)
{
    switch (type) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

QString EnumKeyText(const QMetaEnum& meta, int value)
{
    if (!meta.isFlag())
        return QString::fromLatin1(meta.valueToKey(value));
    QStringList names;
    for (int i = 0; i < meta.keyCount(); ++i) {
        const int bit = meta.value(i);
        if (bit != 0 && (value & bit) == bit)
            names << QString::fromLatin1(meta.key(i));
    }
    return "[" + names.join(",") + "]";
}

bool EnumKeyValue(const QMetaEnum& meta, const QString& name, int& value)
{
    for (int i = 0; i < meta.keyCount(); ++i) {
        if (SameText(QString::fromLatin1(meta.key(i)), name)) {
            value = meta.value(i);
            return true;
        }
    }
    return false;
}

bool EnumValueFromText(const QMetaEnum& meta, const QString& text, int& value)
{
    if (!meta.isFlag())
        return EnumKeyValue(meta, text, value);
    if (!text.startsWith('[') || !text.endsWith(']'))
        return false;
    value = 0;
    const QStringList names = text.mid(1, text.size() - 2).split(',', Qt::SkipEmptyParts);
    for (const QString& name : names) {
        int bit = 0;
        if (!EnumKeyValue(meta, name.trimmed(), bit))
            return false;
        value |= bit;
    }
    return true;
}

// "Component.Property": the component's name, and the property's.
QString ComponentName(const std::string& entry)
{
    return QString::fromStdString(entry.substr(0, entry.find('.')));
}

std::string PropertyName(const std::string& entry)
{
    return entry.substr(entry.find('.') + 1);
}

}  // namespace

TFormStorage::TFormStorage(QWidget* owner) : TFormPlacement(owner) {}

TFormStorage::~TFormStorage()
{
    OwnerDestroying();
}

void TFormStorage::AddStoredProp(const std::string& entry)
{
    StoredProps.push_back({entry, nullptr});
}

void TFormStorage::Loaded()
{
    TFormPlacement::Loaded();
    QWidget* owner = Owner();
    if (!owner)
        return;
    // The owner answers to its own name before any of its components does.
    QList<QObject*> candidates = owner->findChildren<QObject*>();
    candidates.prepend(owner);
    std::vector<TStoredProp> resolved;
    for (const TStoredProp& prop : StoredProps) {
        const QString name = ComponentName(prop.Entry);
        const auto named = [&name](const QObject* object) { return SameText(object->objectName(), name); };
        const auto found = std::find_if(candidates.cbegin(), candidates.cend(), named);
        if (found != candidates.cend())
            resolved.push_back({prop.Entry, *found});
    }
    StoredProps = std::move(resolved);
}

QMetaProperty TFormStorage::FindProperty(const QObject* component, const std::string& name)
{
    const QMetaObject* meta = component->metaObject();
    const QString wanted = QString::fromStdString(name);
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (SameText(QString::fromLatin1(property.name()), wanted) && property.isReadable() &&
            property.isWritable())
            return property;
    }
    return {};
}

// Qt declares its properties in lower camel case; the keys keep the usual upper-case start.
std::string TFormStorage::StoredKey(const QObject* component, const QMetaProperty& property)
{
    std::string name = property.name();
    if (!name.empty() && name[0] >= 'a' && name[0] <= 'z')
        name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return component->objectName().toStdString() + "_" + name;
}

bool TFormStorage::PropertyText(const QObject* component, const QMetaProperty& property, std::string& text)
{
    const QVariant value = property.read(component);
    if (property.isEnumType()) {
        text = EnumKeyText(property.enumerator(), value.toInt()).toStdString();
        return true;
    }
    const int type = value.metaType().id();
    if (IsInteger(type)) {
        text = value.toString().toStdString();
        return true;
    }
    switch (type) {
    case QMetaType::QString:
        text = value.toString().toStdString();
        return true;
    case QMetaType::QChar:
        text = QString(value.toChar()).toStdString();
        return true;
    case QMetaType::Bool:
        text = value.toBool() ? "True" : "False";
        return true;
    case QMetaType::Double:
    case QMetaType::Float:
        text = QString::number(value.toDouble(), 'g', 15).toStdString();
        return true;
    default:
        return false;
    }
}

bool TFormStorage::SetPropertyText(QObject* component, const QMetaProperty& property, const std::string& text)
{
    const QString qtext = QString::fromStdString(text);
    if (property.isEnumType()) {
        int value = 0;
        return EnumValueFromText(property.enumerator(), qtext, value) && property.write(component, value);
    }
    const int type = property.metaType().id();
    if (IsInteger(type))
        return property.write(component, IntOrDefault(text, 0));
    switch (type) {
    case QMetaType::QString:
        return property.write(component, qtext);
    case QMetaType::QChar:
        return !qtext.isEmpty() && property.write(component, qtext.at(0));
    case QMetaType::Bool:
        if (SameText(qtext, "True"))
            return property.write(component, true);
        if (SameText(qtext, "False"))
            return property.write(component, false);
        return false;
    case QMetaType::Double:
    case QMetaType::Float: {
        bool ok = false;
        const double value = qtext.toDouble(&ok);
        return ok && property.write(component, value);
    }
    default:
        return false;
    }
}

void TFormStorage::RestoreStoredState()
{
    RestoreProperties();
    for (TStoredValue& value : StoredValues)
        value.Value = ReadString(value.Name, value.Value);
}

void TFormStorage::SaveStoredState()
{
    SaveProperties();
    for (const TStoredValue& value : StoredValues)
        WriteString(value.Name, value.Value);
}

// A property that cannot be restored keeps its value; the others are still restored.
void TFormStorage::RestoreProperties()
{
    for (const TStoredProp& prop : StoredProps) {
        try {
            QObject* component = prop.Component;
            if (!component)
                continue;
            const QMetaProperty property = FindProperty(component, PropertyName(prop.Entry));
            std::string current;
            if (!property.isValid() || !PropertyText(component, property, current))
                continue;
            const std::string text = Trim(ReadString(StoredKey(component, property), current));
            SetPropertyText(component, property, text);
        } catch (const std::exception&) {
        }
    }
}

void TFormStorage::SaveProperties()
{
    for (const TStoredProp& prop : StoredProps) {
        const QObject* component = prop.Component;
        if (!component)
            continue;
        const QMetaProperty property = FindProperty(component, PropertyName(prop.Entry));
        std::string text;
        if (!property.isValid() || !PropertyText(component, property, text))
            continue;
        const int type = property.metaType().id();
        if (text.empty() && type != QMetaType::QString && type != QMetaType::QChar)
            continue;
        WriteString(StoredKey(component, property), Trim(text));
    }
}

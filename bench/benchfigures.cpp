#include "benchfigures.h"

#include <QFile>
#include <QJsonDocument>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace BenchFigures {

Summary summarise(QVector<double> values)
{
    Summary s;
    if (values.isEmpty())
        return s;
    std::sort(values.begin(), values.end());
    const int n = static_cast<int>(values.size());
    s.min = values.front();
    s.max = values.back();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return s;
}

void Sheet::add(const QString& key, const QString& label, const QString& unit, double value)
{
    for (Figure& f : figures) {
        if (f.key == key) {
            f.runs.append(value);
            return;
        }
    }
    figures.append(Figure{key, label, unit, {value}});
}

QJsonObject Sheet::toJson() const
{
    QJsonArray list;
    for (const Figure& f : figures) {
        const Summary s = summarise(f.runs);
        QJsonArray runs;
        for (double v : f.runs)
            runs.append(v);
        list.append(QJsonObject{
            {QStringLiteral("key"), f.key},
            {QStringLiteral("label"), f.label},
            {QStringLiteral("unit"), f.unit},
            {QStringLiteral("median"), s.median},
            {QStringLiteral("min"), s.min},
            {QStringLiteral("max"), s.max},
            {QStringLiteral("runs"), runs},
        });
    }
    return QJsonObject{
        {QStringLiteral("part"), part},
        {QStringLiteral("figures"), list},
        {QStringLiteral("notes"), notes},
    };
}

bool Sheet::write(const QString& path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    file.write(QJsonDocument(toJson()).toJson());
    return true;
}

void Sheet::print() const
{
    for (const Figure& f : figures) {
        const Summary s = summarise(f.runs);
        std::printf("  %-52s %12.3f %-10s [%.3f .. %.3f] over %d runs\n", qPrintable(f.label), s.median,
                    qPrintable(f.unit), s.min, s.max, static_cast<int>(f.runs.size()));
    }
    std::fflush(stdout);
}

long long envCount(const char* name, long long fallback)
{
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    return (end && *end == '\0' && v > 0) ? v : fallback;
}

double envSeconds(const char* name, double fallback)
{
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    return (end && *end == '\0' && v > 0) ? v : fallback;
}

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const double at = p * static_cast<double>(sorted.size() - 1);
    const auto lo = static_cast<std::size_t>(at);
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (at - static_cast<double>(lo));
}

double rssAnonBytes()
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "RssAnon:") {
            double kib = 0;
            status >> kib;
            return kib * 1024;
        }
    }
    return 0;
}

} // namespace BenchFigures

#include "app/shell/AboutDialog.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QUrl>
#include <QVBoxLayout>

#include "app/shell/BundleInfo.h"
#include "app/shell/Legibility.h"
#include "app/shell/MenuIcon.h"
#include "core/Constants.h"
#include "core/Locations.h"
#include "core/Paths.h"
#include "store/AppStore.h"

namespace velk {

namespace {

QString tr2(AppLanguage language, std::string_view russian, std::string_view english) {
    return QString::fromStdString(text(language, russian, english));
}

} // namespace

AboutDialog::AboutDialog(AppStore& store, QWidget* parent) : QDialog(parent), store_(store) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 18);
    column->setSpacing(8);
    icon_.setAlignment(Qt::AlignCenter);
    icon_.setPixmap(menuIconImage(QStringLiteral("shrink"), QStringLiteral("zoom-out"),
                                  palette().color(QPalette::Highlight), devicePixelRatioF(), 40));
    column->addWidget(&icon_);
    name_.setText(QString::fromUtf8(appName.data(), static_cast<int>(appName.size())));
    name_.setFont(relativeFont(font(), 1.4, QFont::Bold));
    name_.setAlignment(Qt::AlignCenter);
    column->addWidget(&name_);
    for (QLabel* label : {&version_, &licence_}) {
        label->setAlignment(Qt::AlignCenter);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        column->addWidget(label);
    }
    column->addSpacing(8);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(&logFolder_);
    buttons->addWidget(&website_);
    buttons->addStretch(1);
    buttons->addWidget(&close_);
    column->addLayout(buttons);
    close_.setDefault(true);
    connect(&close_, &QPushButton::clicked, this, &QDialog::close);
    connect(&logFolder_, &QPushButton::clicked, this, [] {
        QDesktopServices::openUrl(QUrl::fromEncoded(
            QByteArray::fromStdString(fileURL(logDirectory(), /*isDirectory=*/true))));
    });
    connect(&website_, &QPushButton::clicked, this, [this] { store_.openWebsite(); });
    render();
}

void AboutDialog::render() {
    const AppLanguage language = store_.config().language;
    setWindowTitle(tr2(language, "О программе Velk | Compressor", "About Velk | Compressor"));
    version_.setText(tr2(language, "Версия ", "Version ") + displayVersion() +
                     tr2(language, " (сборка ", " (build ") + displayBuild() + QLatin1Char(')'));
    licence_.setText(tr2(language,
                         "© 2026 Velk. Все права защищены. Встроенные кодировщики "
                         "распространяются под своими лицензиями (IJG, BSD, MIT), "
                         "их тексты — в /usr/share/doc/velk-compressor/copyright.",
                         "© 2026 Velk. All rights reserved. The bundled encoders come under "
                         "their own licences (IJG, BSD, MIT), listed in "
                         "/usr/share/doc/velk-compressor/copyright."));
    logFolder_.setText(tr2(language, "Открыть папку журнала", "Open log folder"));
    website_.setText(tr2(language, "Сайт Velk", "Velk website"));
    close_.setText(tr2(language, "Закрыть", "Close"));
}

void AboutDialog::showDialog() {
    render();
    show();
    raise();
    activateWindow();
}

} // namespace velk

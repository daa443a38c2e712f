// Build step: typesets the Japanese user guide (HTML) into the PDF that the
// dialog's ヘルプ button opens. Usage: make_help_pdf GUIDE.html OUTPUT.pdf

#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);  // fonts need a GUI application
    if (argc != 3) {
        std::fputs("usage: make_help_pdf GUIDE.html OUTPUT.pdf\n", stderr);
        return 2;
    }
    QFile in(QFile::decodeName(argv[1]));
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "make_help_pdf: cannot read %s\n", argv[1]);
        return 1;
    }
    QTextDocument doc;
    doc.setDefaultFont(QFont(QStringLiteral("Noto Sans CJK JP"), 10));
    doc.setHtml(QString::fromUtf8(in.readAll()));

    const QString outPath = QFile::decodeName(argv[2]);
    {
        QPdfWriter pdf(outPath);
        pdf.setTitle(doc.metaInformation(QTextDocument::DocumentTitle));
        pdf.setCreator(QStringLiteral("Kirune"));
        pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(18, 18, 18, 18),
                                      QPageLayout::Millimeter));
        doc.print(&pdf);
    }
    if (QFile(outPath).size() == 0) {
        std::fprintf(stderr, "make_help_pdf: nothing written to %s\n", argv[2]);
        return 1;
    }
    return 0;
}

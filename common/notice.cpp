// The closing notice's texts: what each outcome of a run tells the user.
#include "notice.h"

#include <cerrno>
#include <cstdio>

#include "formats.h"

namespace front_end {

namespace {

using run::Defect;
using run::Outcome;
using run::Status;

const char nothing_written[] = "Nessun file è stato scritto.";

// A count of bytes as Italian writes it, its digits grouped by thousands: 121.638.896.
std::string grouped(long long n) {
  const std::string digits = std::to_string(n);
  const size_t sign = n < 0 ? 1 : 0;
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > sign && (digits.size() - i) % 3 == 0) text += '.';
    text += digits[i];
  }
  return text;
}

// A short Italian reason for a system error, for the notice's third line, with the next step
// where one is clear.
std::string reason(int error) {
  switch (error) {
    case 0: return "";
    case ENOENT: return "Il file o la cartella non esiste.";
    case EACCES:
    case EPERM: return "Permesso negato: scegliere un'altra cartella o un altro nome.";
    case EROFS: return "Il disco è di sola lettura: scegliere un'altra cartella.";
    case ENOSPC:
    case EDQUOT: return "Spazio su disco esaurito: liberare spazio o usare un altro disco.";
    case EISDIR: return "Il nome indica una cartella.";
    case ENOTDIR: return "Una parte del percorso non è una cartella.";
    case ENAMETOOLONG: return "Il nome è troppo lungo.";
    case EIO: return "Errore di lettura o scrittura sul disco.";
    case ENOMEM: return "Memoria insufficiente.";
    case ELOOP: return "Il collegamento simbolico rimanda a se stesso.";
    case EFBIG: return "File troppo grande per il disco o per i limiti del sistema.";
    default: return "Errore di sistema " + std::to_string(error) + ".";
  }
}

// A short Italian reason for a picture that was refused, or a name that stands for no file.
std::string reason(const Outcome& o) {
  if (o.file.empty()) return "Il campo del nome è vuoto: scrivere un nome.";
  switch (o.fault.defect) {
    case Defect::unsupported: return "Tipo di immagine non supportato.";
    case Defect::truncated: return "Il file è troncato: mancano dati dell'immagine.";
    case Defect::damaged: return "I dati dell'immagine sono danneggiati.";
    case Defect::too_large: return "Immagine troppo grande.";
    case Defect::special: return "Non è un file normale: è un dispositivo, una FIFO o un socket.";
    case Defect::read_whole:  // only between a reader and the decoder, which reads it whole
    case Defect::none: break;
  }
  return o.fault.error ? reason(o.fault.error)
                       : "Il file è danneggiato o non è un'immagine valida.";
}

// The third line after a run that ended with a saved result.
std::string saved_line(const Outcome& o) {
  if (o.true_colour) return "Attenzione: l'immagine non era a 256 colori e non conteneva un file.";
  if (o.status == Status::stopped) {
    return "Interrotta: salvati " + grouped(o.saved) + " byte su " + grouped(o.whole) + ".";
  }
  if (o.altered) return "Attenzione: l'immagine è stata modificata, i dati possono essere errati.";
  // No record: the length is the end-of-data rule's, and nothing checks the bytes.
  if (o.unchecked)
    return "Nessun controllo: forse mancano zeri finali; se modificata, byte diversi.";
  return "";
}

// A failed save: for a file rewritten in place, what it holds now.
Notice save_failed(const Outcome& o, const std::string& name) {
  const int e = o.fault.error;
  switch (o.in_place) {
    case run::InPlace::none: break;
    case run::InPlace::refused:
      return {"Impossibile salvare il file:", name,
              e == ENOSPC || e == EDQUOT || e == EFBIG
                  ? "Nessuno spazio per una copia di riserva: il file non è stato toccato."
                  : "Impossibile farne una copia di riserva: il file non è stato toccato."};
    case run::InPlace::restored:
      return {"Impossibile salvare il file, rimesso com'era:", name, reason(o)};
    case run::InPlace::damaged:
      return {"Impossibile salvare il file, ora danneggiato:", name,
              e ? reason(e) : "Non è stato possibile rimettere il contenuto di prima."};
  }
  return {"Impossibile salvare il file:", name, reason(o)};
}

}  // namespace

Notice notice_for(const Outcome& o) {
  const std::string name = o.file.empty() ? "(nessun nome)" : o.file;
  switch (o.status) {
    case Status::done:
    case Status::stopped: return {"Immagine terminata e salvata come:", name, saved_line(o)};
    case Status::cancelled:
      return {"Conversione annullata:", name, "Il file esistente non è stato toccato."};
    case Status::source_unreadable:
      return {"Impossibile aprire il file sorgente:", name, reason(o)};
    case Status::source_changed:
      return {"Il file sorgente è cambiato durante la lettura:", name, nothing_written};
    case Status::source_too_large:
      return {"File sorgente troppo grande (massimo " + grouped(formats::most_source_bytes()) +
                  " byte):",
              name, nothing_written};
    case Status::container_too_small: {
      char line[160];
      std::snprintf(line, sizeof line, "Servono %ld righe, %s ne ha al massimo %ld: usare %s.",
                    static_cast<long>(o.rows), o.container, static_cast<long>(o.max_rows),
                    formats::extensions_holding(o.rows, " o ").c_str());
      return {"Il file è troppo grande per il formato scelto:", name, line};
    }
    case Status::format_unsupported:
      return {"Formato non riconosciuto (usare " + formats::extensions(!o.picture, " o ") + "):",
              name, nothing_written};
    case Status::image_invalid: return {"Impossibile leggere l'immagine:", name, reason(o)};
    case Status::no_memory:
      return {"Memoria insufficiente per l'immagine di:", name, nothing_written};
    case Status::destination_failed: return save_failed(o, name);
    case Status::same_file:
      return {"La destinazione è il file sorgente stesso:", name,
              "Scegliere un altro nome: nessun file è stato scritto."};
  }
  return {"", name, ""};
}

}  // namespace front_end

#include "run.h"

#include <cerrno>
#include <cstdio>

namespace run {

namespace {

// A short Italian reason for a system error, for the notice's third line.
std::string reason(int error) {
  switch (error) {
    case 0: return "";
    case ENOENT: return "Il file o la cartella non esiste.";
    case EACCES:
    case EPERM: return "Permesso negato.";
    case EROFS: return "Il disco è di sola lettura.";
    case ENOSPC:
    case EDQUOT: return "Spazio su disco esaurito.";
    case EISDIR: return "Il nome indica una cartella.";
    case ENOTDIR: return "Una parte del percorso non è una cartella.";
    case ENAMETOOLONG: return "Il nome è troppo lungo.";
    case EIO: return "Errore di lettura o scrittura sul disco.";
    case ENOMEM: return "Memoria insufficiente.";
    case ELOOP: return "Il collegamento simbolico rimanda a se stesso.";
    case EFBIG: return "File troppo grande.";
    default: return "Errore di sistema " + std::to_string(error) + ".";
  }
}

// A short Italian reason for a picture that was refused, or a name that stands for no file.
std::string reason(const Outcome& o) {
  switch (o.defect) {
    case Defect::unsupported: return "Tipo di immagine non supportato.";
    case Defect::truncated: return "Il file è troncato: mancano dati dell'immagine.";
    case Defect::damaged: return "I dati dell'immagine sono danneggiati.";
    case Defect::too_large: return "Immagine troppo grande.";
    case Defect::special: return "Non è un file normale: è un dispositivo, una FIFO o un socket.";
    case Defect::none: break;
  }
  return o.error ? reason(o.error) : "Il file è danneggiato o non è un'immagine valida.";
}

}  // namespace

Notice notice_for(const Outcome& o) {
  switch (o.status) {
    case Status::done:
    case Status::stopped:
      if (o.true_colour) {
        return {"Immagine terminata e salvata come:", o.file,
                "Attenzione: non era un'immagine a 256 colori, i dati non sono un file."};
      }
      if (o.altered) {
        return {"Immagine terminata e salvata come:", o.file,
                "Attenzione: l'immagine è stata modificata, i dati possono essere errati."};
      }
      return {"Immagine terminata e salvata come:", o.file, ""};
    case Status::source_unreadable:
      return {"Impossibile aprire il file sorgente:", o.file, reason(o)};
    case Status::source_changed:
      return {"Il file sorgente è cambiato durante la lettura:", o.file,
              "Nessuna immagine è stata salvata."};
    case Status::source_too_large:
      return {"File sorgente troppo grande (massimo 2 GiB meno 1 KiB):", o.file,
              "Nessuna immagine è stata salvata."};
    case Status::container_too_small: {
      char line[160];
      std::snprintf(line, sizeof line, "Servono %ld righe, il formato %s ne contiene al massimo %ld.",
                    static_cast<long>(o.rows), o.container, static_cast<long>(o.max_rows));
      return {"Il file è troppo grande per il formato scelto:", o.file, line};
    }
    case Status::format_unsupported:
      return {"Formato non riconosciuto (usare .bmp, .tga, .pcx o .png):", o.file,
              "Nessun file è stato scritto."};
    case Status::image_invalid:
      return {"Impossibile leggere l'immagine:", o.file, reason(o)};
    case Status::no_memory:
      return {"Memoria insufficiente per l'immagine di:", o.file, "Nessun file è stato scritto."};
    case Status::destination_failed:
      return {"Impossibile salvare il file:", o.file, reason(o)};
    case Status::same_file:
      return {"La destinazione è il file sorgente stesso:", o.file,
              "Nessun file è stato scritto."};
  }
  return {"", o.file, ""};
}

}  // namespace run

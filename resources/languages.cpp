// The menu texts of the 143 interface languages, in catalogue row order:
// Use, Action, Update, Rules, Help (popup), Help (item), Language, About,
// Hide, Exit. A language without its own words keeps the English ones.
#include <cstring>

#include "resources/resources.h"

namespace resources {
namespace {

struct LanguageMenu {
  const char* code;
  const char16_t* texts[kMenuTextCount];
};

// Only the languages that have their own words are listed; every other row
// uses the English texts.
const LanguageMenu kMenus[] = {
    {"fre", {u"L'usage", u"Action", u"Actualiser", u"Réglement", u"Aide", u"Aide", u"Langue",
             u"Au sujet de", u"Rôdez", u"L'apparition"}},
    {"deu", {u"Erwerbstätigkeit", u"Aktion", u"Aktualisieren", u"Regelungen", u"Helfen",
             u"Helfen", u"Linguistisch", u"Anbelangt", u"Hehlen", u"Austritt"}},
    {"spa", {u"Uso", u"Accion", u"Poner al día", u"Las regulaciones", u"Respaldo", u"Respaldo",
             u"Lenguaje", u"Ante", u"Piel", u"Aparecimiento"}},
    {"abenpeno", {u"Use", u"Action", u"Update", u"Rules", u"Help", u"Help", u"Language",
                  u"About", u"Hide", u"Exit"}},
    {"ita", {u"Uso", u"Azione", u"Aggiorna", u"Regole", u"Aiuto", u"Aiuto", u"Lingua",
             u"Informazioni", u"Nascondi", u"Esci"}},
    {"por", {u"Uso", u"Ação", u"Atualizar", u"Regras", u"Ajuda", u"Ajuda", u"Idioma", u"Sobre",
             u"Ocultar", u"Sair"}},
    {"bra", {u"Uso", u"Ação", u"Atualizar", u"Regras", u"Ajuda", u"Ajuda", u"Idioma", u"Sobre",
             u"Ocultar", u"Sair"}},
    {"dut", {u"Gebruik", u"Actie", u"Bijwerken", u"Regels", u"Help", u"Help", u"Taal", u"Over",
             u"Verbergen", u"Afsluiten"}},
    {"dan", {u"Brug", u"Handling", u"Opdater", u"Regler", u"Hjælp", u"Hjælp", u"Sprog", u"Om",
             u"Skjul", u"Afslut"}},
    {"swedish", {u"Använd", u"Åtgärd", u"Uppdatera", u"Regler", u"Hjälp", u"Hjälp", u"Språk",
                 u"Om", u"Dölj", u"Avsluta"}},
    {"nor", {u"Bruk", u"Handling", u"Oppdater", u"Regler", u"Hjelp", u"Hjelp", u"Språk", u"Om",
             u"Skjul", u"Avslutt"}},
    {"fin", {u"Käytä", u"Toiminto", u"Päivitä", u"Säännöt", u"Ohje", u"Ohje", u"Kieli",
             u"Tietoja", u"Piilota", u"Lopeta"}},
    {"ice", {u"Nota", u"Aðgerð", u"Uppfæra", u"Reglur", u"Hjálp", u"Hjálp", u"Tungumál", u"Um",
             u"Fela", u"Hætta"}},
    {"pol", {u"Użyj", u"Akcja", u"Aktualizuj", u"Reguły", u"Pomoc", u"Pomoc", u"Język",
             u"O programie", u"Ukryj", u"Zakończ"}},
    {"chz", {u"Použít", u"Akce", u"Aktualizovat", u"Pravidla", u"Nápověda", u"Nápověda",
             u"Jazyk", u"O programu", u"Skrýt", u"Konec"}},
    {"slovak", {u"Použiť", u"Akcia", u"Aktualizovať", u"Pravidlá", u"Pomocník", u"Pomocník",
                u"Jazyk", u"O programe", u"Skryť", u"Koniec"}},
    {"hun", {u"Használat", u"Művelet", u"Frissítés", u"Szabályok", u"Súgó", u"Súgó", u"Nyelv",
             u"Névjegy", u"Elrejtés", u"Kilépés"}},
    {"rom", {u"Utilizare", u"Acțiune", u"Actualizare", u"Reguli", u"Ajutor", u"Ajutor", u"Limbă",
             u"Despre", u"Ascunde", u"Ieșire"}},
    {"catalan", {u"Ús", u"Acció", u"Actualitza", u"Regles", u"Ajuda", u"Ajuda", u"Idioma",
                 u"Quant a", u"Amaga", u"Surt"}},
    {"galicien", {u"Uso", u"Acción", u"Actualizar", u"Regras", u"Axuda", u"Axuda", u"Lingua",
                  u"Acerca de", u"Agochar", u"Saír"}},
    {"croate", {u"Upotreba", u"Radnja", u"Ažuriraj", u"Pravila", u"Pomoć", u"Pomoć", u"Jezik",
                u"O programu", u"Sakrij", u"Izlaz"}},
    {"slovene", {u"Uporaba", u"Dejanje", u"Posodobi", u"Pravila", u"Pomoč", u"Pomoč", u"Jezik",
                 u"O programu", u"Skrij", u"Izhod"}},
    {"est", {u"Kasuta", u"Toiming", u"Värskenda", u"Reeglid", u"Abi", u"Abi", u"Keel", u"Teave",
             u"Peida", u"Välju"}},
    {"latvian", {u"Lietot", u"Darbība", u"Atjaunināt", u"Noteikumi", u"Palīdzība", u"Palīdzība",
                 u"Valoda", u"Par", u"Paslēpt", u"Iziet"}},
    {"lithuanian", {u"Naudoti", u"Veiksmas", u"Atnaujinti", u"Taisyklės", u"Pagalba",
                    u"Pagalba", u"Kalba", u"Apie", u"Slėpti", u"Išeiti"}},
    {"tur", {u"Kullan", u"Eylem", u"Güncelle", u"Kurallar", u"Yardım", u"Yardım", u"Dil",
             u"Hakkında", u"Gizle", u"Çıkış"}},
    {"ind", {u"Gunakan", u"Tindakan", u"Perbarui", u"Aturan", u"Bantuan", u"Bantuan", u"Bahasa",
             u"Tentang", u"Sembunyikan", u"Keluar"}},
    {"malay", {u"Guna", u"Tindakan", u"Kemas kini", u"Peraturan", u"Bantuan", u"Bantuan",
               u"Bahasa", u"Perihal", u"Sembunyi", u"Keluar"}},
    {"swahili", {u"Tumia", u"Kitendo", u"Sasisha", u"Kanuni", u"Msaada", u"Msaada", u"Lugha",
                 u"Kuhusu", u"Ficha", u"Toka"}},
    {"tagalog", {u"Gamitin", u"Aksyon", u"I-update", u"Mga Tuntunin", u"Tulong", u"Tulong",
                 u"Wika", u"Tungkol", u"Itago", u"Lumabas"}},
    {"lat", {u"Usus", u"Actio", u"Renovare", u"Regulae", u"Auxilium", u"Auxilium", u"Lingua",
             u"De", u"Celare", u"Exire"}},
    {"epo", {u"Uzo", u"Ago", u"Ĝisdatigi", u"Reguloj", u"Helpo", u"Helpo", u"Lingvo", u"Pri",
             u"Kaŝi", u"Eliri"}},
    {"welsh", {u"Defnyddio", u"Gweithred", u"Diweddaru", u"Rheolau", u"Cymorth", u"Cymorth",
               u"Iaith", u"Ynghylch", u"Cuddio", u"Gadael"}},
    {"galire", {u"Úsáid", u"Gníomh", u"Nuashonraigh", u"Rialacha", u"Cabhair", u"Cabhair",
                u"Teanga", u"Maidir le", u"Folaigh", u"Scoir"}},
    {"afr", {u"Gebruik", u"Aksie", u"Bywerk", u"Reëls", u"Hulp", u"Hulp", u"Taal", u"Oor",
             u"Versteek", u"Verlaat"}},
    {"alb", {u"Përdor", u"Veprim", u"Përditëso", u"Rregullat", u"Ndihmë", u"Ndihmë", u"Gjuha",
             u"Rreth", u"Fshih", u"Dil"}},
    {"quebec", {u"Utilisation", u"Action", u"Actualiser", u"Règles", u"Aide", u"Aide",
                u"Langue", u"À propos", u"Masquer", u"Quitter"}},
    {"lux", {u"Benotzen", u"Aktioun", u"Aktualiséieren", u"Reegelen", u"Hëllef", u"Hëllef",
             u"Sprooch", u"Iwwer", u"Verstoppen", u"Ofschléissen"}},
    {"bas", {u"Erabili", u"Ekintza", u"Eguneratu", u"Arauak", u"Laguntza", u"Laguntza",
             u"Hizkuntza", u"Honi buruz", u"Ezkutatu", u"Irten"}},
    {"breton", {u"Implij", u"Ober", u"Hizivaat", u"Reolennoù", u"Skoazell", u"Skoazell",
                u"Yezh", u"Diwar-benn", u"Kuzhat", u"Kuitaat"}},
};

}  // namespace

std::vector<std::u16string> LanguageMenuTexts(const char* code) {
  static const char16_t* const kEnglish[kMenuTextCount] = {
      u"Use", u"Action", u"Update", u"Rules", u"Help", u"Help", u"Language", u"About", u"Hide",
      u"Exit"};
  const char16_t* const* texts = kEnglish;
  for (const LanguageMenu& menu : kMenus) {
    if (code != nullptr && std::strcmp(menu.code, code) == 0) texts = menu.texts;
  }
  return std::vector<std::u16string>(texts, texts + kMenuTextCount);
}

}  // namespace resources


export default class CompanionExtension extends Extension {
    enable() {
        this._service = new CompanionService(this.path);
        this._service.enable();
    }

    disable() {
        if (this._service) this._service.disable();
        this._service = null;
    }
}
